#include <cstdio>

#include "frontend/driver.hpp"

int main(int argc, char** argv) {
    return oscset::frontend::oscset_main(argc, argv, stdin, oscset::frontend::hardware_board());
}
