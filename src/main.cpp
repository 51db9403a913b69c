#include "driver.h"

int main(int argc, char **argv) { return fyrnol_main(argc, argv); }
