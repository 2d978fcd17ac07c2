#pragma once
// cadmon without a subcommand: the settings window. Returns the exit status.
int RunCadmonWindow(int argc, char** argv);
