#include "kovrel.h"

int main(int argc, char** argv) { return kovrel_main(argc, argv); }
