// A settings folder of the test's own: while the object lives, XDG_CONFIG_HOME names a fresh
// folder, and the settings store reads anew when it starts and when it ends. The folder is
// removed at the end, whatever the test did to its permissions.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/stat.h>

#include "platform/registry.h"

class TConfigHome {
public:
    TConfigHome() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vintrop-test-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot make a settings folder for the test");
        Base = pattern;
        Folder = Base + "/vintrop";
        File = Folder + "/registry.reg";
        setenv("XDG_CONFIG_HOME", Base.c_str(), 1);
        Registry::Reset();
    }
    ~TConfigHome() {
        Registry::Reset();
        chmod(Folder.c_str(), 0700);
        std::error_code ignored;
        std::filesystem::remove_all(Base, ignored);
        unsetenv("XDG_CONFIG_HOME");
    }
    TConfigHome(const TConfigHome&) = delete;
    TConfigHome& operator=(const TConfigHome&) = delete;

    std::string Base;   // XDG_CONFIG_HOME
    std::string Folder; // the program's folder in it
    std::string File;   // the settings file
};
