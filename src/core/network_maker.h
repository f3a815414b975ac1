#pragma once

#include <string>

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

// The name file that a made hub keeps in its package, read by its settings.
inline constexpr const char* stored_name_file = "nom_du_reseau.txt";
inline constexpr const char* demo_name = "Réseau de démonstration";
inline constexpr const char* demo_path = "demo";
