#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// The processes the stand-in's tasklist may show and its taskkill may end:
// the living descendants of the program that started the interpreter which
// carry that program's family mark in their environment. Nothing else on
// the machine is ever listed or ended.

struct FamilyMember
{
    pid_t pid = 0;
    std::string image_name; // the executable's file name, never its arguments
    long resident_kib = 0;
};

// The program the family belongs to, from the family variable; 0 when the
// variable is missing or names no ancestor of this process.
pid_t family_root();

// The family in the order the processes were started.
std::vector<FamilyMember> family_members(pid_t root);

bool is_family_member(pid_t root, pid_t pid);

// True once the process has ended (gone, or a zombie waiting to be reaped).
bool has_ended(pid_t pid);
