#include "network_maker.h"

#include "discovery_commands.h"
#include "hub_utilities.h"
#include "network.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <random>
#include <sstream>
#include <system_error>
#include <vector>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#ifdef KESTROVA_WINDOWS_BUILD
#include "process_win.h"
#endif

namespace fs = std::filesystem;

namespace {

constexpr const char* lock_file_name = ".kestrova-nouveau-reseau.lock";
// Every save builds in a folder of this prefix and eight hex digits.
constexpr const char* temporary_prefix = ".kestrova-nouveau-";
constexpr const char* template_files[] = {"settings.py", "urls.py"};
constexpr const char* template_folders[] = {"hubs", "ressources", "templates", "static"};

// Serialises every making of a hub in this working directory, across
// programs: the checks, the build, the rename and the registry line.
class WorkingDirectoryLock
{
public:
    WorkingDirectoryLock()
    {
#ifdef _WIN32
        for (;;) {
            handle = ::CreateFileA(lock_file_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
            if (handle != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_SHARING_VIOLATION)
                break;
            ::Sleep(50);
        }
#else
        // The folder itself is locked: no lock file is left behind in it.
        fd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int locked = -1;
        while (fd >= 0 && (locked = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (locked == 0 || fd < 0)
            return;
        // NFS takes flock as a write lock, which a folder opened for reading
        // cannot hold: there a lock file's record lock, which the server keeps.
        ::close(fd);
        fd = ::open(lock_file_name, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        struct flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        while (fd >= 0 && (locked = ::fcntl(fd, F_SETLKW, &whole)) != 0 && errno == EINTR) {
        }
        if (fd >= 0 && locked != 0) {
            ::close(fd);
            fd = -1;
        }
#endif
    }
    ~WorkingDirectoryLock()
    {
#ifdef _WIN32
        if (handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle);
#else
        if (fd >= 0)
            ::close(fd);
#endif
    }
    bool held() const
    {
#ifdef _WIN32
        return handle != INVALID_HANDLE_VALUE;
#else
        return fd >= 0;
#endif
    }
    WorkingDirectoryLock(const WorkingDirectoryLock&) = delete;
    WorkingDirectoryLock& operator=(const WorkingDirectoryLock&) = delete;

private:
#ifdef _WIN32
    HANDLE handle = INVALID_HANDLE_VALUE;
#else
    int fd = -1;
#endif
};

struct Outcome
{
    bool ok = false;
    std::string output;
};

std::string last_line(const std::string& output)
{
    std::istringstream lines(output);
    std::string line;
    std::string last;
    while (std::getline(lines, line))
        if (line.find_first_not_of(" \t\r") != std::string::npos)
            last = line;
    return last;
}

#ifndef KESTROVA_WINDOWS_BUILD
// Runs a program found on the search path in `folder`, without a shell:
// `input` reaches its standard input (a secret never goes on its command
// line), its two output streams come back together.
Outcome run_in(const std::string& folder, const std::vector<std::string>& arguments, const std::string& input,
               const std::vector<std::string>& extra_environment = {})
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    // The hub's own settings, whatever project the keeper's shell points at.
    std::vector<std::string> environment_text(extra_environment);
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('=') + 1);
        const bool replaced = std::any_of(extra_environment.begin(), extra_environment.end(),
                                          [&name](const std::string& extra) { return extra.rfind(name, 0) == 0; });
        if (!replaced && name != "DJANGO_SETTINGS_MODULE=")
            environment_text.push_back(text);
    }
    std::vector<char*> envp;
    for (const std::string& entry : environment_text)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    // A socket rather than a pipe for the input: a child that exits without
    // reading must not end this program with SIGPIPE.
    int input_pair[2];
    int output_pipe[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input_pair) != 0)
        return {false, "impossible de créer un canal"};
    if (::pipe2(output_pipe, O_CLOEXEC) != 0) {
        ::close(input_pair[0]);
        ::close(input_pair[1]);
        return {false, "impossible de créer un canal"};
    }
    const char* directory = folder.c_str();
    const pid_t child = ::fork();
    if (child == 0) {
        if (::chdir(directory) != 0 || ::dup2(input_pair[1], 0) < 0 || ::dup2(output_pipe[1], 1) < 0
            || ::dup2(output_pipe[1], 2) < 0)
            ::_exit(127);
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(input_pair[1]);
    ::close(output_pipe[1]);
    if (child < 0) {
        ::close(input_pair[0]);
        ::close(output_pipe[0]);
        return {false, "impossible de lancer " + arguments[0]};
    }
    for (std::size_t sent = 0; sent < input.size();) {
        const ssize_t n = ::send(input_pair[0], input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    ::close(input_pair[0]);
    Outcome outcome;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(output_pipe[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        outcome.output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(output_pipe[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    outcome.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127 && outcome.output.empty())
        outcome.output = arguments[0] + " est introuvable";
    return outcome;
}

const char* const python_program = "python3";
#else
std::mutex environment_mutex;

// The Windows build hands each step to the command interpreter; a secret
// travels in the environment that the interpreter's children inherit, set
// only while the step runs.
Outcome run_in(const std::string& folder, const std::vector<std::string>& arguments, const std::string&,
               const std::vector<std::string>& extra_environment = {})
{
    std::string line = "cd " + cmd_quote(folder) + " &&";
    for (const std::string& argument : arguments)
        line += " " + argument;
    std::lock_guard<std::mutex> guard(environment_mutex);
    for (const std::string& entry : extra_environment) {
        const std::size_t equals = entry.find('=');
#ifdef _WIN32
        ::_putenv_s(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str());
#else
        ::setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
#endif
    }
    std::cout.flush();
    std::cerr.flush();
    const bool ok = kestrova_system(line) == 0;
    for (const std::string& entry : extra_environment) {
        const std::string name = entry.substr(0, entry.find('='));
#ifdef _WIN32
        ::_putenv_s(name.c_str(), "");
#else
        ::unsetenv(name.c_str());
#endif
    }
    return {ok, ok ? std::string() : "la commande « " + line + " » a échoué"};
}

const char* const python_program = "python";
#endif

bool has_control_character(const std::string& text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

// Python reads non-ASCII identifiers too; their bytes are let through here
// and judged by Python itself where it can run.
bool looks_like_identifier(const std::string& text)
{
    if (text.empty() || (text[0] >= '0' && text[0] <= '9'))
        return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x80 || c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    });
}

bool is_python_keyword(const std::string& text)
{
    static const char* const keywords[] = {
        "False", "None", "True", "and", "as", "assert", "async", "await", "break", "class", "continue",
        "def", "del", "elif", "else", "except", "finally", "for", "from", "global", "if", "import", "in",
        "is", "lambda", "nonlocal", "not", "or", "pass", "raise", "return", "try", "while", "with", "yield"};
    return std::find(std::begin(keywords), std::end(keywords), text) != std::end(keywords);
}

bool is_valid_username(const std::string& text)
{
    return text.size() <= 150 && std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x80 || c == '_' || c == '.' || c == '@' || c == '+' || c == '-'
            || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    });
}

bool exists_here(const std::string& name)
{
    // A link, even a broken one, is there; so is whatever cannot be looked at.
    std::error_code error;
    return fs::symlink_status(name, error).type() != fs::file_type::not_found;
}

struct Registry
{
    bool readable = true;
    std::string bytes;
    std::vector<std::pair<std::string, std::string>> records; // name, path
};

Registry read_registry()
{
    Registry registry;
    std::error_code error;
    if (fs::status(registry_file_name, error).type() == fs::file_type::not_found)
        return registry;
    // A named pipe would block the opening: only a regular file is read.
    if (!fs::is_regular_file(registry_file_name, error)) {
        registry.readable = false;
        return registry;
    }
    std::ifstream file(registry_file_name, std::ios::binary);
    if (!file) {
        registry.readable = false;
        return registry;
    }
    registry.bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    std::istringstream lines(registry.bytes);
    std::string line;
    while (std::getline(lines, line)) {
        if (Network* network = split_hub_networks_file(line)) {
            registry.records.emplace_back(network->name, network->path);
            delete network;
        }
    }
    return registry;
}

std::string administrator_refusal(const std::string& pseudonym, const std::string& password,
                                  const std::string& confirmation)
{
    if (pseudonym.empty())
        return "Le pseudo de l'administrateur est vide.";
    if (!is_valid_username(pseudonym))
        return "Pseudo refusé : 150 caractères au plus, lettres, chiffres et @ . + - _ seulement.";
    if (password.empty())
        return "Le mot de passe est vide.";
    if (password != confirmation)
        return "La confirmation ne correspond pas au mot de passe.";
    return std::string();
}

// The hub's own command makes its superuser: the password reaches it on
// standard input (the Windows build: in the environment of that step only).
Outcome run_admin_command(const std::string& project, const std::string& pseudonym, const std::string& password,
                          std::vector<std::string> environment)
{
#ifdef KESTROVA_WINDOWS_BUILD
    environment.push_back("KESTROVA_ADMIN_PSEUDO=" + pseudonym);
    environment.push_back("KESTROVA_ADMIN_PASSWORD=" + password);
    return run_in(project, {python_program, "manage.py", "kestrova_admin"}, std::string(), environment);
#else
    return run_in(project, {python_program, "manage.py", "kestrova_admin"}, pseudonym + '\0' + password,
                  environment);
#endif
}

// The command's refusal of a field, which is the keeper's to mend; "" for
// any other failure.
std::string field_refusal(const std::string& said)
{
    for (const char* refusal : {"CommandError: Pseudo refusé", "CommandError: Mot de passe refusé"})
        if (said.rfind(refusal, 0) == 0)
            return said.substr(said.find(' ') + 1);
    return std::string();
}

std::string refusal_under_lock(const NewNetwork& network, const Registry& registry, bool check_registry)
{
    const std::string& name = network.name;
    const std::string& path = network.path;
    if (name.empty())
        return "Le nom du réseau est vide.";
    if (name.find('|') != std::string::npos || has_control_character(name))
        return "Le nom du réseau ne peut contenir ni « | », ni saut de ligne, ni caractère de contrôle.";
    const std::string name_refusal = hub_name_refusal(name);
    if (!name_refusal.empty())
        return name_refusal;
    if (!registry.readable)
        return "Le registre networks.data ne peut pas être lu.";
    if (check_registry) {
        for (const auto& record : registry.records) {
            if (record.first == name)
                return "Un réseau nommé « " + name + " » est déjà dans networks.data.";
        }
    }
    if (path.empty())
        return "Le chemin d'accès est vide.";
    if (!looks_like_identifier(path))
        return "Le chemin d'accès « " + path
            + " » n'est pas un identifiant Python (lettres, chiffres et « _ », sans chiffre en tête) : "
              "django-admin nomme le paquet du projet d'après lui.";
    if (is_python_keyword(path))
        return "Le chemin d'accès « " + path + " » est un mot réservé de Python.";
    if (exists_here(path))
        return "« " + path + " » existe déjà dans le dossier de travail.";
    if (network.with_administrator)
        return administrator_refusal(network.pseudonym, network.password, network.confirmation);
    return std::string();
}

// A folder of its own in the working directory, made by this call.
std::string new_temporary_folder()
{
    std::random_device device;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(device()));
        const std::string folder = temporary_prefix + std::string(suffix);
        std::error_code error;
        if (fs::create_directory(folder, error)) {
            // It will hold the administrator's password hash: the keeper's alone.
            fs::permissions(folder, fs::perms::owner_all, error);
            return folder;
        }
        if (error)
            return std::string();
    }
    return std::string();
}

bool is_temporary_folder(const std::string& name)
{
    const std::size_t prefix = std::strlen(temporary_prefix);
    return name.size() == prefix + 8 && name.compare(0, prefix, temporary_prefix) == 0
        && name.find_first_not_of("0123456789abcdef", prefix) == std::string::npos;
}

// What a save cut short left (a save holds the lock from its first step to
// its last, so none of them is still in use): only folders of that kind,
// only here. Some hold a password hash.
void remove_left_temporary_folders()
{
    std::error_code error;
    for (fs::directory_iterator entry(".", error), end; !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        std::error_code ignored;
        if (is_temporary_folder(name) && entry->symlink_status(ignored).type() == fs::file_type::directory)
            fs::remove_all(name, ignored);
    }
}

// Moves the finished project into place, never over anything that came
// there meanwhile; "" or the system's reason.
std::string rename_into_place(const std::string& from, const std::string& to)
{
#if defined(_WIN32)
    // Without MOVEFILE_REPLACE_EXISTING the move never replaces anything.
    if (::MoveFileExA(from.c_str(), to.c_str(), 0))
        return std::string();
    return std::system_category().message(static_cast<int>(::GetLastError()));
#else
#ifdef __linux__
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return std::string();
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return std::strerror(errno);
#endif
    // Where the file system lacks the exclusive rename (NFS, FUSE): claim the
    // name with an empty folder of our own, which mkdir makes only if nothing
    // is there, and rename over it; rename replaces a folder only while it is
    // empty, so whatever came into it meanwhile stays.
    if (::mkdir(to.c_str(), 0700) != 0)
        return std::strerror(errno);
    if (::rename(from.c_str(), to.c_str()) == 0)
        return std::string();
    const int reason = errno;
    ::rmdir(to.c_str());
    return std::strerror(reason);
#endif
}

bool copy_template(const std::string& package, std::string& reason)
{
    std::error_code error;
    for (const char* file : template_files) {
        fs::copy_file(file, package + "/" + file, fs::copy_options::overwrite_existing, error);
        if (error) {
            reason = std::string("le fichier « ") + file + " » du modèle n'a pas pu être copié : " + error.message();
            return false;
        }
    }
    for (const char* folder : template_folders) {
        if (!fs::is_directory(folder, error)) {
            reason = std::string("le dossier « ") + folder + " » du modèle manque dans le dossier de travail";
            return false;
        }
        fs::copy(folder, package + "/" + folder,
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing, error);
        if (error) {
            reason = std::string("le dossier « ") + folder + " » du modèle n'a pas pu être copié : " + error.message();
            return false;
        }
    }
    return true;
}

bool write_whole(const std::string& file_name, const std::string& bytes)
{
    std::FILE* file = std::fopen(file_name.c_str(), "wb");
    if (!file)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

// Appends the record through a link if the registry is one; the bytes there
// stay as they are, and a failed write is cut back off.
bool append_to_registry(const Registry& registry, const std::string& name, const std::string& path)
{
    std::string line;
    if (!registry.bytes.empty() && registry.bytes.back() != '\n')
        line += '\n';
    line += name + "|" + path + "|\n";
    std::FILE* file = std::fopen(registry_file_name, "ab");
    if (!file)
        return false;
    const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
    if (std::fclose(file) == 0 && written)
        return true;
    std::error_code error;
    fs::resize_file(registry_file_name, registry.bytes.size(), error);
    return false;
}

struct Built
{
    // Django refused a field: `reason` is the refusal itself.
    bool refused = false;
    std::string reason;
};

// Builds the project in a temporary folder and renames it to `path`. Django
// judges what only it knows (a package name that Python already uses, the
// pseudonym, the password rules) while the project is made there, where a
// refusal leaves nothing behind. The caller holds the lock and has checked
// the rest.
Built build_hub(const NewNetwork& network)
{
    const std::string& path = network.path;
    const std::string folder = new_temporary_folder();
    if (folder.empty())
        return {false, "impossible de créer un dossier temporaire dans le dossier de travail"};
    const std::string project = folder + "/" + path;
    const std::string package = project + "/" + path;
    std::string reason;
    const auto failed = [&](const std::string& why, bool refused = false) {
        std::error_code error;
        fs::remove_all(folder, error);
        return Built {refused, why};
    };
    std::cout.flush();
    std::cerr.flush();
    Outcome step = run_in(folder, {"django-admin", "startproject", path}, std::string());
    if (!step.ok) {
        const std::string said = last_line(step.output);
        if (said.rfind("CommandError: ", 0) == 0)
            return failed("django-admin refuse le chemin d'accès « " + path + " » : " + said.substr(14), true);
        return failed("django-admin startproject a échoué : " + said);
    }
    if (!copy_template(package, reason))
        return failed(reason);
    if (!write_whole(package + "/" + stored_name_file, network.name))
        return failed("le nom du réseau n'a pas pu être écrit dans le projet");
    if (network.with_administrator) {
        // The hub's settings take the database and the admin when its file
        // is there, or while the hub is being made; the command migrates first.
        step = run_admin_command(project, network.pseudonym, network.password, {"KESTROVA_HUB_MAKING=1"});
        if (!step.ok) {
            const std::string said = last_line(step.output);
            const std::string refusal = field_refusal(said);
            if (!refusal.empty())
                return failed(refusal, true);
            return failed("l'administrateur n'a pas pu être créé : " + said);
        }
    }
    const std::string not_placed = rename_into_place(project, path);
    if (!not_placed.empty())
        return failed("« " + path + " » n'a pas pu être mis en place dans le dossier de travail : " + not_placed);
    std::error_code error;
    fs::remove_all(folder, error);
    return {};
}

std::string failure_message(const NewNetwork& network, const std::string& reason)
{
    return "Le réseau « " + network.name + " » n'a pas été créé : " + reason + ".";
}

} // namespace

std::string make_new_network(const NewNetwork& network)
{
    WorkingDirectoryLock lock;
    if (!lock.held())
        return failure_message(network, "le dossier de travail ne peut pas être verrouillé");
    remove_left_temporary_folders();
    const Registry registry = read_registry();
    const std::string refusal = refusal_under_lock(network, registry, true);
    if (!refusal.empty())
        return refusal;
    const Built built = build_hub(network);
    if (built.refused)
        return built.reason;
    if (!built.reason.empty())
        return failure_message(network, built.reason);
    if (!append_to_registry(registry, network.name, network.path)) {
        // The folder is this call's own: the rename made it.
        std::error_code error;
        fs::remove_all(network.path, error);
        return failure_message(network, "networks.data n'a pas pu être complété");
    }
    return std::string();
}

std::string make_demo_network()
{
    NewNetwork demo;
    demo.name = demo_name;
    demo.path = demo_path;
    demo.with_administrator = false;
    WorkingDirectoryLock lock;
    if (!lock.held())
        return failure_message(demo, "le dossier de travail ne peut pas être verrouillé");
    remove_left_temporary_folders();
    const Registry registry = read_registry();
    const bool listed = std::any_of(registry.records.begin(), registry.records.end(),
                                    [](const auto& record) { return record.second == demo_path; });
    std::error_code error;
    if (exists_here(demo_path)) {
        // Ours when it carries the name this code writes into every hub.
        const std::string marker = std::string(demo_path) + "/" + demo_path + "/" + stored_name_file;
        if (!fs::is_regular_file(marker, error))
            return listed ? std::string()
                          : failure_message(demo, "« demo » existe déjà dans le dossier de travail et n'est pas "
                                                  "un réseau de démonstration");
    } else {
        const std::string refusal = refusal_under_lock(demo, registry, false);
        if (!refusal.empty())
            return refusal;
        const Built built = build_hub(demo);
        if (!built.reason.empty())
            return built.refused ? built.reason : failure_message(demo, built.reason);
    }
    if (!listed && !append_to_registry(registry, demo.name, demo.path))
        return failure_message(demo, "networks.data n'a pas pu être complété");
    return std::string();
}

std::vector<std::pair<std::string, std::string>> registered_networks()
{
    return read_registry().records;
}

std::string add_administrator(const NewAdministrator& administrator)
{
    const std::string refusal =
        administrator_refusal(administrator.pseudonym, administrator.password, administrator.confirmation);
    if (!refusal.empty())
        return refusal;
    std::error_code error;
    if (administrator.path.empty() || !fs::is_regular_file(administrator.path + "/manage.py", error))
        return "Le réseau choisi n'a pas de manage.py dans « " + administrator.path + " » : aucun administrateur n'est enregistré.";
    // A hub whose database was never made (one made by hand) gets it first,
    // as a hub made here does.
    const Outcome step = run_admin_command(administrator.path, administrator.pseudonym, administrator.password,
                                           {"KESTROVA_HUB_MAKING=1", "KESTROVA_ADMIN_NAME=" + administrator.name});
    if (step.ok)
        return std::string();
    const std::string said = last_line(step.output);
    const std::string field = field_refusal(said);
    if (!field.empty())
        return field;
    return "L'administrateur « " + administrator.pseudonym + " » n'a pas été enregistré : " + said + ".";
}
