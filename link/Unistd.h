#pragma once
// <unistd.h> declares a function link(), which collides with namespace link.
// The build force-includes this header into every C++ file (C++20's <atomic>,
// <thread> and <memory> pull <unistd.h> in, so the clash is otherwise hard to
// avoid): the function is then declared as unistd_link, which nothing calls,
// and the namespace keeps its name. Call the POSIX function as unistd_link
// would not link; use std::filesystem::create_hard_link instead.
#define link unistd_link
#include <unistd.h>
#undef link
