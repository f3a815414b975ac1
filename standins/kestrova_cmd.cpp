// kestrova-cmd: the stand-in for the Windows command interpreter on a host
// that has none. It carries out exactly the command lines the Windows build
// hands to system(), with the meaning cmd.exe gives them, and refuses any
// other form before running anything of the line.
//
//   kestrova-cmd /c LINE          what "cmd.exe /c LINE" does
//   kestrova-cmd --keep /c LINE   the same, as a keeper: it stays until all
//                                 that the line started has ended
#include "cmd_family.h"
#include "process_win.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <limits.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef KESTROVA_CMD_PYTHON
#define KESTROVA_CMD_PYTHON "/usr/bin/python3"
#endif

namespace {

constexpr int refused_status = 9;

class Refused : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// ---- Reading a line as cmd.exe does -------------------------------------

// The /c rule: a line that starts with a double quote loses that quote and
// the last one, unless it is just one quoted program name with blanks.
std::string apply_c_rule(const std::string& line)
{
    const std::string text = line.substr(std::min(line.size(), line.find_first_not_of(" \t")));
    if (text.empty() || text[0] != '"')
        return text;
    if (std::count(text.begin(), text.end(), '"') == 2) {
        const std::string inside = text.substr(1, text.find('"', 1) - 1);
        if (inside.find_first_of("&<>()@^|") == std::string::npos
            && inside.find_first_of(" \t") != std::string::npos && ::access(inside.c_str(), X_OK) == 0)
            return text;
    }
    const auto last = text.rfind('"');
    return text.substr(1, last - 1) + text.substr(last + 1);
}

// Removes the carets that escape outside double quotes, as the interpreter
// does before it runs a command; quotes stay for the command to read.
std::string without_escapes(const std::string& text)
{
    std::string cooked;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"')
            quoted = !quoted;
        if (text[i] == '^' && !quoted) {
            if (++i < text.size())
                cooked += text[i];
            continue;
        }
        cooked += text[i];
    }
    return cooked;
}

struct Lexed
{
    std::vector<std::string> commands; // carets removed, quotes kept
    std::vector<std::string> operators; // between the commands: "&&" or "|"
    std::vector<std::string> outputs;   // each command's "> FILE 2>&1" file, or ""
};

Lexed split_at_operators(const std::string& line)
{
    Lexed lexed;
    std::string current;
    std::string output;
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') {
            quoted = !quoted;
            current += c;
            continue;
        }
        if (quoted) {
            current += c;
            continue;
        }
        if (c == '^') {
            if (++i < line.size())
                current += line[i];
            continue;
        }
        if (c == '&' || c == '|') {
            std::string op(1, c);
            if (i + 1 < line.size() && line[i + 1] == c)
                op += line[++i];
            if (op != "&&" && op != "|")
                throw Refused("l'opérateur « " + op + " » n'est pas pris en charge");
            lexed.commands.push_back(current);
            lexed.outputs.push_back(output);
            lexed.operators.push_back(op);
            current.clear();
            output.clear();
            continue;
        }
        if (c == '<')
            throw Refused("une redirection n'est prise en charge que dans la boucle for /f");
        if (c == '>') {
            // The one redirection the Windows build writes: "> FILE 2>&1".
            const Refused refusal("une redirection s'écrit ici « > FICHIER 2>&1 », en fin de commande");
            std::size_t at = line.find_first_not_of(" \t", i + 1);
            if (at == std::string::npos || !output.empty())
                throw refusal;
            std::string file;
            if (line[at] == '"') {
                const std::size_t end = line.find('"', at + 1);
                if (end == std::string::npos)
                    throw refusal;
                file = line.substr(at + 1, end - at - 1);
                at = end + 1;
            } else {
                const std::size_t end = line.find_first_of(" \t&|<>^\"", at);
                file = line.substr(at, end == std::string::npos ? std::string::npos : end - at);
                at = end == std::string::npos ? line.size() : end;
            }
            at = line.find_first_not_of(" \t", at);
            if (file.empty() || at == std::string::npos || line.compare(at, 4, "2>&1") != 0)
                throw refusal;
            output = file;
            i = at + 3;
            continue;
        }
        if (!output.empty() && !is_blank(c))
            throw Refused("une redirection s'écrit ici « > FICHIER 2>&1 », en fin de commande");
        if (c == '(' && trimmed(current).empty())
            throw Refused("les blocs entre parenthèses ne sont pas pris en charge");
        current += c;
    }
    lexed.commands.push_back(current);
    lexed.outputs.push_back(output);
    return lexed;
}

// The arguments of a program, split as the Windows C runtime splits its
// command line: blanks separate outside double quotes, quotes are removed.
std::vector<std::string> split_arguments(const std::string& text)
{
    std::vector<std::string> arguments;
    std::string current;
    bool in_argument = false;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (is_blank(c) && !quoted) {
            if (in_argument)
                arguments.push_back(current);
            current.clear();
            in_argument = false;
            continue;
        }
        in_argument = true;
        if (c == '\\') {
            std::size_t count = 0;
            while (i < text.size() && text[i] == '\\') {
                ++count;
                ++i;
            }
            if (i < text.size() && text[i] == '"') {
                current.append(count / 2, '\\');
                if (count % 2 == 1)
                    current += '"';
                else
                    quoted = !quoted;
            } else {
                current.append(count, '\\');
                --i;
            }
            continue;
        }
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        current += c;
    }
    if (in_argument)
        arguments.push_back(current);
    return arguments;
}

// ---- The forms ------------------------------------------------------------

enum class Kind { Cd, Python, Start, Pause, Tasklist, Findstr, Taskkill, DjangoAdmin, Cp };

struct Command
{
    Kind kind;
    std::string text;                   // cd: the folder; start: the inner line; findstr: the word;
                                        // python: the file of "> FILE 2>&1", if any
    std::vector<std::string> arguments; // python, cp, django-admin: their arguments
    pid_t pid = 0;                      // taskkill
};

using Pipeline = std::vector<Command>;
using Chain = std::vector<Pipeline>; // joined by "&&"

struct ForLoop
{
    Pipeline listing;   // the command between the single quotes
    std::size_t token = 0; // tokens=N
    char variable = 0;
    std::string text;   // what echo writes, the variable not yet replaced
    std::string file;   // where '>' sends it
};

bool is_text_command(const Command& command)
{
    return command.kind == Kind::Tasklist || command.kind == Kind::Findstr;
}

bool is_operand(const std::string& argument)
{
    return !argument.empty() && argument[0] != '-';
}

void parse_started_line(const std::string& line);

// `start cmd /c LINE`: LINE goes to the new interpreter as it stands.
Command parse_start(const std::string& rest)
{
    const Refused refusal("start n'ouvre ici que « cmd /c ... »");
    std::size_t at = rest.find_first_not_of(" \t");
    const std::size_t name_end = at == std::string::npos ? at : rest.find_first_of(" \t", at);
    if (name_end == std::string::npos)
        throw refusal;
    const std::string program = lower(rest.substr(at, name_end - at));
    at = rest.find_first_not_of(" \t", name_end);
    if ((program != "cmd" && program != "cmd.exe") || at == std::string::npos || lower(rest.substr(at, 2)) != "/c")
        throw refusal;
    at += 2;
    if (at < rest.size() && !is_blank(rest[at]) && rest[at] != '"')
        throw refusal;
    const std::string inner = rest.substr(at);
    parse_started_line(inner); // refused now, before anything runs
    return {Kind::Start, inner, {}, 0};
}

Command parse_command(const std::string& text, const std::string& output = std::string())
{
    const std::string command = trimmed(text);
    if (!output.empty() && lower(command.substr(0, 6)) != "python")
        throw Refused("seul python écrit ici dans un fichier");
    if (command.empty())
        throw Refused("commande vide");
    if (command[0] == '@')
        throw Refused("« @ » n'est pris en charge que dans la boucle for /f");
    const std::size_t name_end = std::min(command.size(), command.find_first_of(" \t"));
    const std::string name = lower(command.substr(0, name_end));
    const std::string rest = command.substr(name_end);
    const std::vector<std::string> arguments = split_arguments(rest);

    if (name == "cd") {
        std::string folder = trimmed(rest);
        if (lower(folder.substr(0, 2)) == "/d")
            throw Refused("cd /d n'est pas pris en charge");
        folder.erase(std::remove(folder.begin(), folder.end(), '"'), folder.end());
        if (folder.empty())
            throw Refused("cd sans dossier n'est pas pris en charge");
        return {Kind::Cd, folder, {}, 0};
    }
    if (name == "python") {
        if (arguments.empty() || arguments[0] != "manage.py")
            throw Refused("python ne lance ici que « manage.py » d'un projet");
        return {Kind::Python, output, arguments, 0};
    }
    if (name == "start")
        return parse_start(rest);
    if (name == "pause") {
        if (!arguments.empty())
            throw Refused("pause ne prend pas d'argument");
        return {Kind::Pause, std::string(), {}, 0};
    }
    if (name == "tasklist") {
        if (!arguments.empty())
            throw Refused("tasklist ne prend ici aucune option");
        return {Kind::Tasklist, std::string(), {}, 0};
    }
    if (name == "findstr") {
        if (arguments.size() != 1 || arguments[0].empty()
            || arguments[0].find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-")
                != std::string::npos
            || arguments[0][0] == '-')
            throw Refused("findstr ne cherche ici qu'un seul mot littéral, sans option");
        return {Kind::Findstr, arguments[0], {}, 0};
    }
    if (name == "taskkill") {
        if (arguments.size() != 3 || lower(arguments[0]) != "/pid" || lower(arguments[2]) != "/f"
            || arguments[1].empty() || arguments[1].size() > 9
            || arguments[1].find_first_not_of("0123456789") != std::string::npos)
            throw Refused("taskkill ne connaît ici que « taskkill /PID <id> /F »");
        return {Kind::Taskkill, std::string(), {}, static_cast<pid_t>(std::stol(arguments[1]))};
    }
    if (name == "django-admin") {
        if (arguments.size() != 2 || arguments[0] != "startproject" || !is_operand(arguments[1]))
            throw Refused("django-admin ne connaît ici que « startproject <projet> »");
        return {Kind::DjangoAdmin, std::string(), arguments, 0};
    }
    if (name == "cp") {
        const bool recursive = !arguments.empty() && arguments[0] == "-r";
        const std::size_t operands = arguments.size() - (recursive ? 1 : 0);
        if (operands != 2 || !is_operand(arguments[arguments.size() - 2]) || !is_operand(arguments.back()))
            throw Refused("cp ne connaît ici que « cp [-r] <source> <destination> »");
        return {Kind::Cp, std::string(), arguments, 0};
    }
    throw Refused("« " + name + " » n'est pas une commande que cet interpréteur connaît");
}

Chain parse_commands(const std::string& line)
{
    if (line.find('%') != std::string::npos)
        throw Refused("le développement de variables (%) n'est pris en charge que dans la boucle for /f");
    const Lexed lexed = split_at_operators(line);
    Chain chain(1);
    for (std::size_t i = 0; i < lexed.commands.size(); ++i) {
        chain.back().push_back(parse_command(lexed.commands[i], lexed.outputs[i]));
        if (i < lexed.operators.size() && lexed.operators[i] == "&&")
            chain.emplace_back();
    }
    for (const Pipeline& pipeline : chain) {
        if (pipeline.size() < 2)
            continue;
        for (std::size_t i = 0; i < pipeline.size(); ++i)
            if (!is_text_command(pipeline[i]) || (i > 0 && pipeline[i].kind == Kind::Tasklist))
                throw Refused("un tube ne relie ici que tasklist et findstr");
    }
    return chain;
}

void parse_started_line(const std::string& line)
{
    if (line.find_first_of("\r\n") != std::string::npos)
        throw Refused("une ligne de commande tient sur une seule ligne");
    const std::string text = apply_c_rule(line);
    if (lower(text.substr(0, 4)) == "for " || lower(text.substr(0, 4)) == "for\t")
        throw Refused("la boucle for /f n'est pas prise en charge derrière start");
    parse_commands(text);
}

// Reads `for /f "tokens=N" %V in ('COMMAND') do @echo TEXT > FILE`.
class ForReader
{
public:
    explicit ForReader(const std::string& line) : line(line) {}

    ForLoop read()
    {
        ForLoop loop;
        word("for");
        blanks();
        word("/f");
        blanks();
        expect('"');
        const std::string options = until('"');
        expect('"');
        if (options.size() != 8 || lower(options.substr(0, 7)) != "tokens=" || options[7] < '1' || options[7] > '9')
            refuse("seule l'option \"tokens=N\" est prise en charge");
        loop.token = static_cast<std::size_t>(options[7] - '0');
        blanks();
        expect('%');
        if (at >= line.size() || !std::isalpha(static_cast<unsigned char>(line[at])))
            refuse("la variable de la boucle est une lettre");
        loop.variable = line[at++];
        blanks();
        word("in");
        optional_blanks();
        expect('(');
        optional_blanks();
        expect('\'');
        const std::string listing = without_escapes(until('\''));
        expect('\'');
        optional_blanks();
        expect(')');
        blanks();
        word("do");
        blanks();
        expect('@');
        word("echo");
        if (at >= line.size() || !is_blank(line[at]))
            refuse("echo est suivi d'un blanc");
        ++at;
        const std::size_t redirection = line.find('>', at);
        if (redirection == std::string::npos)
            refuse("la boucle écrit dans un fichier avec « > »");
        loop.text = without_escapes(line.substr(at, redirection - at));
        loop.file = trimmed(line.substr(redirection + 1));
        loop.file.erase(std::remove(loop.file.begin(), loop.file.end(), '"'), loop.file.end());
        check_text(loop.text, loop.variable);
        if (loop.file.empty() || loop.file.find_first_of(" \t&|<>^%()") != std::string::npos)
            refuse("le fichier de la redirection est un nom simple");
        if (listing.find('%') != std::string::npos)
            refuse("la commande de la boucle ne développe pas de variable");
        const Chain chain = parse_commands(listing);
        if (chain.size() != 1)
            refuse("la boucle lit une seule commande");
        loop.listing = chain.front();
        for (const Command& command : loop.listing)
            if (!is_text_command(command))
                refuse("la boucle ne lit ici que tasklist et findstr");
        return loop;
    }

private:
    [[noreturn]] void refuse(const std::string& why) { throw Refused("for /f : " + why); }

    void word(const char* expected)
    {
        const std::size_t length = std::strlen(expected);
        if (lower(line.substr(at, length)) != expected)
            refuse(std::string("« ") + expected + " » attendu");
        at += length;
    }
    void expect(char c)
    {
        if (at >= line.size() || line[at] != c)
            refuse(std::string("« ") + c + " » attendu");
        ++at;
    }
    void blanks()
    {
        if (at >= line.size() || !is_blank(line[at]))
            refuse("un blanc attendu");
        optional_blanks();
    }
    void optional_blanks()
    {
        while (at < line.size() && is_blank(line[at]))
            ++at;
    }
    std::string until(char c)
    {
        const std::size_t end = line.find(c, at);
        if (end == std::string::npos)
            refuse(std::string("« ") + c + " » attendu");
        std::string text = line.substr(at, end - at);
        at = end;
        return text;
    }
    void check_text(const std::string& text, char variable)
    {
        if (text.find_first_of("&|<") != std::string::npos)
            refuse("echo n'écrit ici que du texte");
        for (std::size_t i = text.find('%'); i != std::string::npos; i = text.find('%', i + 2))
            if (i + 1 >= text.size() || text[i + 1] != variable)
                refuse("seule la variable de la boucle est développée");
    }

    const std::string& line;
    std::size_t at = 0;
};

// ---- Running -------------------------------------------------------------

std::string own_executable()
{
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string("kestrova-cmd");
}

std::string python_program()
{
    const char* chosen = std::getenv("KESTROVA_PYTHON");
    return chosen && *chosen ? chosen : KESTROVA_CMD_PYTHON;
}

// Waits for one child, reaping any other that ends meanwhile (a keeper
// adopts the orphans of what it started). Returns its exit status as
// Windows would see it: a process ended by force reports 1.
int wait_for(pid_t child)
{
    for (;;) {
        int status = 0;
        const pid_t ended = ::waitpid(-1, &status, 0);
        if (ended < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (ended == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
}

// Runs a program in the foreground. With search set, it is looked up on PATH.
int run_program(const std::string& program, const std::vector<std::string>& arguments, bool search,
                const std::string& output = std::string())
{
    std::vector<const char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    const std::string failure = "« " + program + " » n'est pas reconnu en tant que commande interne "
                                "ou externe, un programme exécutable ou un fichier de commandes.\n";
    std::cout.flush();
    const pid_t child = ::fork();
    if (child < 0) {
        std::cerr << "kestrova-cmd : impossible de lancer " << program << std::endl;
        return 1;
    }
    if (child == 0) {
        if (!output.empty()) {
            const int file = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (file < 0 || ::dup2(file, STDOUT_FILENO) < 0 || ::dup2(file, STDERR_FILENO) < 0) {
                static const char refused[] = "Le fichier de la redirection ne peut pas être ouvert.\n";
                ssize_t ignored = ::write(STDERR_FILENO, refused, sizeof refused - 1);
                (void)ignored;
                ::_exit(1);
            }
        }
        if (search)
            ::execvp(program.c_str(), const_cast<char* const*>(argv.data()));
        else
            ::execv(program.c_str(), const_cast<char* const*>(argv.data()));
        ssize_t ignored = ::write(STDERR_FILENO, failure.data(), failure.size());
        (void)ignored;
        ::_exit(9);
    }
    return wait_for(child);
}

// `start`: a new process of its own, in a session of its own (its console),
// reading nothing of ours; we return at once.
int run_start(const std::string& inner)
{
    const std::string self = own_executable();
    const char* const argv[] = {"kestrova-cmd", "--keep", "/c", inner.c_str(), nullptr};
    std::cout.flush();
    const pid_t child = ::fork();
    if (child < 0) {
        std::cerr << "kestrova-cmd : start n'a pas pu ouvrir de processus" << std::endl;
        return 1;
    }
    if (child == 0) {
        ::setsid();
        const int nothing = ::open("/dev/null", O_RDONLY);
        if (nothing >= 0)
            ::dup2(nothing, STDIN_FILENO);
        ::execv(self.c_str(), const_cast<char* const*>(argv));
        ::_exit(9);
    }
    return 0;
}

int run_pause()
{
    std::cout << "Appuyez sur une touche pour continuer..." << std::flush;
    termios saved {};
    const bool console = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (console) {
        termios one_key = saved;
        one_key.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        one_key.c_cc[VMIN] = 1;
        one_key.c_cc[VTIME] = 0;
        ::tcsetattr(STDIN_FILENO, TCSANOW, &one_key);
    }
    char key = 0;
    while (::read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
    if (console)
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    std::cout << std::endl;
    return 0;
}

std::string padded(std::string text, std::size_t width, bool right)
{
    if (text.size() > width)
        text.resize(width);
    const std::string fill(width - text.size(), ' ');
    return right ? fill + text : text + fill;
}

std::string thousands(long value)
{
    std::string digits = std::to_string(value);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3)
        digits.insert(static_cast<std::size_t>(i), ",");
    return digits;
}

std::string tasklist_text()
{
    std::string text = "\n"
                       "Image Name                     PID Session Name        Session#    Mem Usage\n"
                       "========================= ======== ================ =========== ============\n";
    for (const FamilyMember& member : family_members(family_root()))
        text += padded(member.image_name, 25, false) + " " + padded(std::to_string(member.pid), 8, true) + " "
            + padded("Console", 16, false) + " " + padded("1", 11, true) + " "
            + padded(thousands(member.resident_kib) + " K", 12, true) + "\n";
    return text;
}

std::string read_all_input()
{
    std::ostringstream input;
    input << std::cin.rdbuf();
    return input.str();
}

// tasklist and findstr pass text along in this process; the result is what
// the last of them printed.
int run_text_pipeline(const Pipeline& pipeline, std::string& output)
{
    int status = 0;
    for (std::size_t i = 0; i < pipeline.size(); ++i) {
        const Command& command = pipeline[i];
        if (command.kind == Kind::Tasklist) {
            if (family_root() == 0) {
                std::cerr << "kestrova-cmd : tasklist ne sait pas quel programme l'a lancé ; "
                             "il ne liste rien."
                          << std::endl;
                return 1;
            }
            output = tasklist_text();
            status = 0;
            continue;
        }
        const std::string input = i == 0 ? read_all_input() : output;
        output.clear();
        std::istringstream lines(input);
        std::string line;
        status = 1;
        while (std::getline(lines, line)) {
            if (line.find(command.text) != std::string::npos) {
                output += line + "\n";
                status = 0;
            }
        }
    }
    return status;
}

int run_taskkill(pid_t pid)
{
    const pid_t root = family_root();
    if (!is_family_member(root, pid)) {
        std::cerr << "ERREUR : le processus « " << pid
                  << " » n'a pas été lancé par ce programme ; taskkill ne l'arrête pas." << std::endl;
        return 128;
    }
    ::kill(pid, SIGKILL);
    for (int i = 0; i < 500 && !has_ended(pid); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::cout << "Opération réussie : le processus avec PID " << pid << " a été arrêté." << std::endl;
    return 0;
}

int run_command(const Command& command)
{
    switch (command.kind) {
    case Kind::Cd:
        if (::chdir(command.text.c_str()) != 0) {
            std::cerr << "Le chemin d'accès spécifié est introuvable." << std::endl;
            return 1;
        }
        return 0;
    case Kind::Python: {
        // Python finds its own installation from its argv[0]: give it its path.
        std::vector<std::string> arguments {python_program()};
        arguments.insert(arguments.end(), command.arguments.begin(), command.arguments.end());
        return run_program(python_program(), arguments, false, command.text);
    }
    case Kind::Start:
        return run_start(command.text);
    case Kind::Pause:
        return run_pause();
    case Kind::Taskkill:
        return run_taskkill(command.pid);
    case Kind::DjangoAdmin:
        // Found on the search path, as the interpreter would: without one, provisioning fails.
        return run_program("django-admin", {"django-admin", "startproject", command.arguments[1]}, true);
    case Kind::Cp: {
        std::vector<std::string> arguments {"cp"};
        arguments.insert(arguments.end(), command.arguments.begin(), command.arguments.end());
        return run_program("cp", arguments, true);
    }
    case Kind::Tasklist:
    case Kind::Findstr:
        break;
    }
    return 1;
}

int run_chain(const Chain& chain)
{
    int status = 0;
    for (const Pipeline& pipeline : chain) {
        if (is_text_command(pipeline.front())) {
            std::string output;
            status = run_text_pipeline(pipeline, output);
            std::cout << output << std::flush;
        } else {
            status = run_command(pipeline.front());
        }
        if (status != 0)
            break;
    }
    return status;
}

int run_for(const ForLoop& loop)
{
    std::string output;
    run_text_pipeline(loop.listing, output);
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == ';')
            continue;
        std::vector<std::string> tokens;
        std::istringstream words(line);
        for (std::string word; words >> word;)
            tokens.push_back(word);
        if (tokens.size() < loop.token)
            continue;
        std::string text = loop.text;
        const std::string variable = std::string("%") + loop.variable;
        for (std::size_t at = text.find(variable); at != std::string::npos;
             at = text.find(variable, at + tokens[loop.token - 1].size()))
            text.replace(at, variable.size(), tokens[loop.token - 1]);
        // '>' rewrites the file at every turn of the loop.
        std::ofstream file(loop.file, std::ios::trunc);
        if (!file) {
            std::cerr << "Accès refusé." << std::endl;
            continue;
        }
        file << text << '\n';
    }
    return 0;
}

int run_line(const std::string& line)
{
    if (line.find_first_of("\r\n") != std::string::npos)
        throw Refused("une ligne de commande tient sur une seule ligne");
    const std::string text = apply_c_rule(line);
    if (lower(text.substr(0, 4)) == "for " || lower(text.substr(0, 4)) == "for\t")
        return run_for(ForReader(text).read());
    return run_chain(parse_commands(text));
}

void reap_everything()
{
    for (;;) {
        if (::wait(nullptr) > 0)
            continue;
        if (errno == EINTR)
            continue;
        return;
    }
}

} // namespace

int main(int argc, char** argv)
{
    int first = 1;
    const bool keeper = argc > 1 && std::strcmp(argv[1], "--keep") == 0;
    if (keeper)
        ++first;
    if (argc != first + 2 || lower(argv[first]) != "/c") {
        std::cerr << "kestrova-cmd : usage : kestrova-cmd [--keep] /c \"ligne de commande\"" << std::endl;
        return refused_status;
    }
    // Run by hand, the family is that of whoever ran it.
    if (!std::getenv(kestrova_family_variable))
        ::setenv(kestrova_family_variable, std::to_string(::getppid()).c_str(), 1);
    if (keeper) {
        // Whatever the line starts stays below this process until it ends.
        ::prctl(PR_SET_NAME, "kestrova-keep", 0, 0, 0);
        ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    }

    int status = 0;
    try {
        status = run_line(argv[first + 1]);
    } catch (const Refused& refusal) {
        std::cerr << "kestrova-cmd : ligne refusée, rien n'est lancé : " << refusal.what() << std::endl
                  << "  ligne : " << argv[first + 1] << std::endl;
        status = refused_status;
    }
    std::cout.flush();
    if (keeper)
        reap_everything();
    return status;
}
