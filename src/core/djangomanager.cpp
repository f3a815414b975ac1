#include "djangomanager.h"

#include "server_commands.h"

#include <iostream>

#ifdef KESTROVA_WINDOWS_BUILD
#include "process_win.h"
#include <cstdlib>
#else
#include "terminal_posix.h"
#endif

#ifdef KESTROVA_WINDOWS_BUILD

// The Windows build has no fork: it turns the running program into the terminal.
int DjangoManager::launch(std::string path)
{
#ifdef _WIN32
    // _execlp joins its arguments with blanks: the command must stay one argument.
    const std::string command = crt_quote_argument(django_manager_command(path));
#else
    const std::string command = django_manager_command(path);
#endif
    kestrova_execlp("gnome-terminal", "gnome-terminal", "--", "bash", "-c", command.c_str());
    std::cerr << "Erreur : impossible de lancer le terminal." << std::endl;
    std::exit(1);
}

#else

int DjangoManager::launch(std::string path)
{
    const pid_t child = open_terminal(django_manager_command(path),
                                      "Erreur : impossible de lancer le terminal.\n");
    if (child < 0) {
        std::cerr << "Erreur : impossible de forker." << std::endl;
        return 1;
    }
    std::cout << "Le serveur Django a été lancé dans un nouveau terminal (PID " << child << ")."
              << std::endl;
    return 0;
}

#endif
