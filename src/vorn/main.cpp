#include "vorn.h"

int main(int argc, char **argv) { return vorn::vornMain(argc, argv); }
