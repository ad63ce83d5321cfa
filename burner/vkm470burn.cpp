// SPDX-License-Identifier: MIT
#include "burner.h"

int main(int argc, char** argv) { return burn_main(argc, argv); }
