#include "splashgen.h"

int main(int argc, char* argv[]) { return splashgen_run(argc, argv); }
