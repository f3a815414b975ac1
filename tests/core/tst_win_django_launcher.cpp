// Runs the Windows build's DjangoManager::launch, which replaces this program
// with the terminal.
#include "djangomanager.h"

int main(int argc, char** argv)
{
    return argc == 2 ? DjangoManager().launch(argv[1]) : 2;
}
