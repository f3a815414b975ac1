#pragma once

#include <string>
#include <vector>

// The seven command lines of create_new_network, in the order they run,
// composed apart from running them so that their exact text can be tested:
// the project `path` by django-admin, then the template files of the working
// directory copied into its package `path`/`name`/. Empty when an argument
// cannot be quoted for the shell of this build.
std::vector<std::string> provisioning_commands(const std::string& name, const std::string& path);
