#pragma once

#include <string>

// The command lines that start a hub's development server, composed here so
// that their exact text can be tested apart from running them.

// Terminal command of Network::launch: the server on listen_address, then an
// interactive shell that keeps the terminal open.
std::string launch_command(const std::string& path, const std::string& listen_address);
// Terminal command of DjangoManager::launch: the server on its default address.
std::string django_manager_command(const std::string& path);

// The argument of "cd" for a project folder: quoted for the shell, and kept
// from reading as an option when it begins with '-'.
std::string cd_argument(const std::string& path);
