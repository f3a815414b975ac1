#include "server_commands.h"

#include "hub_utilities.h"

std::string cd_argument(const std::string& path)
{
    if (!path.empty() && path.front() == '-')
        return shell_quote("./" + path);
    return shell_quote(path);
}

std::string launch_command(const std::string& path, const std::string& listen_address,
                           const std::string& output_folder)
{
    if (output_folder.empty())
        return "cd " + cd_argument(path) + " && python3 manage.py runserver " + shell_quote(listen_address)
            + " ; exec bash";
    // The folder may be gone when a server stopped later ends: the end file
    // is then left unmade, quietly.
    return "cd " + cd_argument(path) + " && PYTHONUNBUFFERED=1 python3 manage.py runserver "
        + shell_quote(listen_address) + " 2>&1 | tee " + shell_quote(output_folder + "/sortie") + " ; : 2>/dev/null >> "
        + shell_quote(output_folder + "/fin") + " ; exec bash";
}

std::string django_manager_command(const std::string& path)
{
    return "cd " + cd_argument(path) + " && python3 manage.py runserver; exec bash";
}

namespace {

// Outside double quotes the command interpreter reads these as operators or
// as its escape; a caret before each makes it literal.
std::string caret_escaped(const std::string& text)
{
    static const std::string special = "&|<>^()";
    std::string escaped;
    for (char c : text) {
        if (special.find(c) != std::string::npos)
            escaped += '^';
        escaped += c;
    }
    return escaped;
}

} // namespace

std::string win_start_command(char configuration, const std::string& path, const std::string& output_file)
{
    // '!' would expand where delayed expansion is switched on; a NUL byte
    // would end the line early.
    if (path.empty() || path.find_first_of(std::string("!\0", 2)) != std::string::npos)
        return std::string();
    const std::string quoted = cmd_quote(path);
    const std::string output = output_file.empty() ? std::string() : cmd_quote(output_file);
    if (quoted.empty() || (!output_file.empty() && (output.empty() || output_file.find('!') != std::string::npos)))
        return std::string();
    const std::string server = " && python manage.py runserver";
    // The file's name, like the folder's, stands outside the outer quotes in B and C.
    const auto redirected = [&output](bool outer) {
        return output.empty() ? std::string() : " > " + (outer ? caret_escaped(output) : output) + " 2>&1";
    };
    switch (configuration) {
    case 'A':
        return "\"cd " + quoted + server + redirected(false) + "\" ";
    case 'B':
        return "start cmd /c \"cd " + caret_escaped(quoted) + server + redirected(true) + "\" && pause";
    case 'C':
        return "start cmd /c \"cd " + caret_escaped(quoted) + server + redirected(true) + "\" ";
    default:
        return std::string();
    }
}

std::string win_listing_command()
{
    return "for /f \"tokens=2\" %i in ('tasklist ^|findstr python') do @echo %i  > server_pid.tmp";
}

std::string win_kill_command(const std::string& listed_line)
{
    return "taskkill /PID " + listed_line + "/F";
}
