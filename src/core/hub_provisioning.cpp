#include "hub_utilities.h"
#include "provisioning_commands.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#ifdef KESTROVA_WINDOWS_BUILD
#include "win/process_win.h"
#else
#include <sys/wait.h>
#endif

namespace {

// django-admin and cp would read an argument that begins with '-' as an option.
std::string not_an_option(const std::string& argument)
{
    if (!argument.empty() && argument.front() == '-')
        return "./" + argument;
    return argument;
}

#ifdef KESTROVA_WINDOWS_BUILD
std::string quoted(const std::string& argument)
{
    // django-admin and cp split their command line by the C runtime's rule,
    // where backslashes before the closing quote would escape it: doubled,
    // they stand for themselves.
    std::string text = not_an_option(argument);
    const std::size_t kept = text.find_last_not_of('\\');
    text.append(text.size() - (kept == std::string::npos ? 0 : kept + 1), '\\');
    return cmd_quote(text);
}

// The command interpreter's own exit status.
bool run_succeeded(const std::string& command)
{
    return kestrova_system(command) == 0;
}
#else
std::string quoted(const std::string& argument)
{
    return shell_quote(not_an_option(argument));
}

bool run_succeeded(const std::string& command)
{
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
#endif

} // namespace

std::vector<std::string> provisioning_commands(const std::string& name, const std::string& path)
{
    const std::string project = quoted(path);
    const std::string package = quoted(path + "/" + name + "/");
    if (project.empty() || package.empty())
        return {};
    return {
        "django-admin startproject " + project,
        "cp settings.py " + package,
        "cp urls.py " + package,
        "cp -r hubs/ " + package,
        "cp -r ressources/ " + package,
        "cp -r templates/ " + package,
        "cp -r static/ " + package,
    };
}

int create_new_network(std::string name, std::string path)
{
    // startproject names the package after the whole project argument; any
    // other name would aim the copies beside it (".", "") or at a folder that
    // does not exist, after a bare project that blocks every retry was made.
    if (path.empty()) {
        std::cerr << "Le réseau n'a pas été créé : son chemin est vide, et son nom doit être ce même chemin, "
                  << "le nom du paquet que django-admin crée pour lui. Aucune commande n'a été lancée." << std::endl;
        return 1;
    }
    if (name != path) {
        std::cerr << "Le réseau « " << name << " » n'a pas été créé : son nom doit être « " << path
                  << " », le nom du paquet que django-admin crée pour le chemin « " << path
                  << " ». Aucune commande n'a été lancée." << std::endl;
        return 1;
    }
    const std::vector<std::string> commands = provisioning_commands(name, path);
    if (commands.empty()) {
        std::cerr << "Le réseau « " << name << " » n'a pas été créé : son nom ou son chemin "
                  << "contient un guillemet, un « % », un saut de ligne ou un retour chariot, que l'interpréteur "
                  << "de commandes ne sait pas protéger. Aucune commande n'a été lancée."
                  << std::endl;
        return 1;
    }
    for (const std::string& command : commands) {
        // The commands write to the same streams as the program: keep the order.
        std::cout.flush();
        std::cerr.flush();
        std::fflush(nullptr);
        // A failed step stops the rest, so that the copies never land over an
        // existing project or outside the one just made.
        if (!run_succeeded(command)) {
            std::cerr << "La création du réseau « " << name << " » s'est arrêtée : la commande « "
                      << command << " » a échoué." << std::endl;
            return 1;
        }
    }
    return 0;
}
