#include "server_commands.h"

#include "hub_utilities.h"

std::string cd_argument(const std::string& path)
{
    if (!path.empty() && path.front() == '-')
        return shell_quote("./" + path);
    return shell_quote(path);
}

std::string launch_command(const std::string& path, const std::string& listen_address)
{
    return "cd " + cd_argument(path) + " && python3 manage.py runserver "
        + shell_quote(listen_address) + " ; exec bash";
}

std::string django_manager_command(const std::string& path)
{
    return "cd " + cd_argument(path) + " && python3 manage.py runserver; exec bash";
}
