// Prints its usage line and exits the way benchmark programs do.
#include "lib_timing.h"

int main(int argc, char** argv) { print_usage_and_exit(argc, argv, "[-P parallel] DEVICE\n"); }
