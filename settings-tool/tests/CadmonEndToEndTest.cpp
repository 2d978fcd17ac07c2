// End-to-end tests of cadmon against printer-sim (being written).
#include <gtest/gtest.h>
