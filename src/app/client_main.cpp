#include "startup.h"

int main(int argc, char** argv)
{
    return run_kestrova_client(argc, argv);
}
