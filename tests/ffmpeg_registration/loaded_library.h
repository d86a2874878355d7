// Loads a shared library of the build at run time, looks up its symbols and
// lists what it exports. Tests load the registration library this way so
// that every load starts from the library's state at load.
#pragma once

#include <string>
#include <vector>

namespace tovrel_test {

class loaded_library {
  public:
    // file_name: a library in the folder of the running test program.
    explicit loaded_library(const std::string& file_name);
    ~loaded_library();

    loaded_library(const loaded_library&) = delete;
    loaded_library& operator=(const loaded_library&) = delete;

    // Null if the library does not export the name.
    void* symbol(const char* name) const;

    template <typename Function>
    Function function(const char* name) const {
        return reinterpret_cast<Function>(symbol(name));
    }

    // Every name the library exports (a Windows export by ordinal only is
    // listed as "#<ordinal>"), as written in the binary (mangled).
    std::vector<std::string> exported_names() const;

#if !defined(_WIN32)
    // Every symbol the library imports, with the version it asks for and the
    // library that defines that version (both empty for an unversioned import).
    struct import {
        std::string name;
        std::string version;
        std::string library;
    };
    std::vector<import> imports() const;
#endif

    // Unloads the library; true when it is gone from the process afterwards.
    bool unload();

  private:
    std::string m_path;
    void* m_handle = nullptr;
};

// The readable form of a mangled C++ name, or the name itself.
std::string demangle(const std::string& name);

}  // namespace tovrel_test
