// A Win32 program's main on Linux: the program runs against the model (host.h), with the driver
// loaded and a device started before it and removed after it.
#include "host.h"

int KwToolMain(int argc, char** argv);

int main(int argc, char** argv) { return win32host::RunWithModel(argc, argv, KwToolMain); }
