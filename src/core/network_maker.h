#pragma once

#include <string>
#include <utility>
#include <vector>

// What the new network form gathers, or what the first start asks for its demo.
struct NewNetwork
{
    std::string name;
    std::string path;
    std::string pseudonym;
    std::string password;
    std::string confirmation;
    // The demo has no administrator: no database, no log-in.
    bool with_administrator = true;
};

// Makes the hub in the working directory, all or nothing: under the working
// directory's lock, checks it, builds the project (django-admin, the template's
// files, the stored name and, with an administrator, the database and its
// superuser) in a temporary folder, renames that into place and appends
// "name|path|" to networks.data. "" on success, else the reason in French;
// then nothing of the attempt is left and the registry is as it was.
std::string make_new_network(const NewNetwork& network);

// The first start's demo, made as above without an administrator. A demo
// that is there already is done; one whose folder came into place but whose
// registry line is missing (an interrupted start) gets its line. "" when the
// demo is there afterwards, else the reason.
std::string make_demo_network();

// What the setup dialog gathers to add an administrator to a network's hub.
struct NewAdministrator
{
    std::string path; // the network's folder, which holds manage.py
    std::string pseudonym;
    std::string name;
    std::string password;
    std::string confirmation;
};

// Adds a superuser to the hub through its own Django, with the checks and the
// reasons of the new network's administrator; a pseudonym already there is
// refused, never overwritten. A hub without a database is migrated first.
// "" on success, else the reason in French. Blocks: run it off the GUI thread.
std::string add_administrator(const NewAdministrator& administrator);

// The registry's networks (name, path), in file order, read without traces.
std::vector<std::pair<std::string, std::string>> registered_networks();

// The name file that a made hub keeps in its package, read by its settings.
inline constexpr const char* stored_name_file = "nom_du_reseau.txt";
inline constexpr const char* demo_name = "Réseau de démonstration";
inline constexpr const char* demo_path = "demo";
