// Entry point of `tessary`.
#include <iostream>

#include "cli_app.h"

int main(int argc, char** argv) { return tessary::cli::run(argc, argv, std::cout, std::cerr); }
