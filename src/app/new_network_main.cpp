// kestrova-nouveau-reseau --demo: makes the first start's demo network in the
// working directory, through the same code as the new network form. Exits 0
// when the demo is there afterwards.
#include "network_maker.h"

#include <cstring>
#include <iostream>

int main(int argc, char** argv)
{
    if (argc != 2 || std::strcmp(argv[1], "--demo") != 0) {
        std::cerr << "usage : kestrova-nouveau-reseau --demo" << std::endl;
        return 2;
    }
    const std::string failure = make_demo_network();
    if (!failure.empty()) {
        std::cerr << failure << std::endl;
        return 1;
    }
    return 0;
}
