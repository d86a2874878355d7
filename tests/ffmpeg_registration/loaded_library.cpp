#include "loaded_library.h"

#include <cxxabi.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#endif

namespace tovrel_test {
namespace {

std::filesystem::path program_folder() {
#if defined(_WIN32)
    std::wstring buffer(32768, L'\0');
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(length);
    return std::filesystem::path(buffer).parent_path();
#else
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
#endif
}

#if !defined(_WIN32)
std::vector<char> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <typename T>
T read_at(const std::vector<char>& bytes, std::uint64_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) {
        throw std::runtime_error("ELF file truncated");
    }
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

// Defined, non-local symbols of the ELF dynamic symbol table: what another
// module can bind to. Section and file symbols are bookkeeping, not exports.
std::vector<std::string> elf_exports(const std::string& path) {
    const std::vector<char> bytes = read_file(path);
    const auto header = read_at<Elf64_Ehdr>(bytes, 0);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64) {
        throw std::runtime_error(path + " is not a 64-bit ELF file");
    }
    std::vector<std::string> names;
    for (std::uint16_t i = 0; i < header.e_shnum; ++i) {
        const auto section = read_at<Elf64_Shdr>(bytes, header.e_shoff + i * sizeof(Elf64_Shdr));
        if (section.sh_type != SHT_DYNSYM) continue;
        const auto strings =
            read_at<Elf64_Shdr>(bytes, header.e_shoff + section.sh_link * sizeof(Elf64_Shdr));
        for (std::uint64_t at = sizeof(Elf64_Sym); at < section.sh_size; at += sizeof(Elf64_Sym)) {
            const auto sym = read_at<Elf64_Sym>(bytes, section.sh_offset + at);
            const unsigned type = ELF64_ST_TYPE(sym.st_info);
            if (sym.st_shndx == SHN_UNDEF || ELF64_ST_BIND(sym.st_info) == STB_LOCAL ||
                type == STT_SECTION || type == STT_FILE) {
                continue;
            }
            if (sym.st_name >= strings.sh_size) throw std::runtime_error("bad symbol name");
            names.emplace_back(bytes.data() + strings.sh_offset + sym.st_name);
        }
    }
    return names;
}

std::uint64_t section_header_at(const Elf64_Ehdr& header, std::uint32_t index) {
    return header.e_shoff + std::uint64_t(index) * sizeof(Elf64_Shdr);
}

// Undefined symbols of the ELF dynamic symbol table with the versions they
// need: .gnu.version gives each symbol a version index, .gnu.version_r names
// the index's version and the library that must define it.
std::vector<loaded_library::import> elf_imports(const std::string& path) {
    const std::vector<char> bytes = read_file(path);
    const auto header = read_at<Elf64_Ehdr>(bytes, 0);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64) {
        throw std::runtime_error(path + " is not a 64-bit ELF file");
    }
    Elf64_Shdr dynsym{}, versym{}, verneed{};
    for (std::uint16_t i = 0; i < header.e_shnum; ++i) {
        const auto section = read_at<Elf64_Shdr>(bytes, section_header_at(header, i));
        if (section.sh_type == SHT_DYNSYM) dynsym = section;
        if (section.sh_type == SHT_GNU_versym) versym = section;
        if (section.sh_type == SHT_GNU_verneed) verneed = section;
    }
    if (dynsym.sh_type != SHT_DYNSYM) throw std::runtime_error(path + " has no dynamic symbols");
    const auto strings = read_at<Elf64_Shdr>(bytes, section_header_at(header, dynsym.sh_link));
    auto string_at = [&](const Elf64_Shdr& table, std::uint64_t offset) {
        if (offset >= table.sh_size) throw std::runtime_error("bad string offset");
        return std::string(bytes.data() + table.sh_offset + offset);
    };

    struct needed_version {
        std::string version;
        std::string library;
    };
    std::vector<needed_version> by_index;
    if (verneed.sh_type == SHT_GNU_verneed) {
        const auto names = read_at<Elf64_Shdr>(bytes, section_header_at(header, verneed.sh_link));
        std::uint64_t at = verneed.sh_offset;
        for (std::uint64_t n = 0; n < verneed.sh_info; ++n) {
            const auto need = read_at<Elf64_Verneed>(bytes, at);
            std::uint64_t aux_at = at + need.vn_aux;
            for (std::uint16_t a = 0; a < need.vn_cnt; ++a) {
                const auto aux = read_at<Elf64_Vernaux>(bytes, aux_at);
                const std::uint16_t index = aux.vna_other & 0x7fff;
                if (by_index.size() <= index) by_index.resize(index + 1u);
                by_index[index] = {string_at(names, aux.vna_name), string_at(names, need.vn_file)};
                aux_at += aux.vna_next;
            }
            at += need.vn_next;
        }
    }

    std::vector<loaded_library::import> imports;
    const std::uint64_t count = dynsym.sh_size / sizeof(Elf64_Sym);
    for (std::uint64_t i = 1; i < count; ++i) {
        const auto sym = read_at<Elf64_Sym>(bytes, dynsym.sh_offset + i * sizeof(Elf64_Sym));
        if (sym.st_shndx != SHN_UNDEF || sym.st_name == 0) continue;
        loaded_library::import entry{string_at(strings, sym.st_name), {}, {}};
        if (versym.sh_type == SHT_GNU_versym) {
            const std::size_t index =
                read_at<Elf64_Half>(bytes, versym.sh_offset + i * sizeof(Elf64_Half)) & 0x7fffu;
            if (index < by_index.size()) {
                entry.version = by_index[index].version;
                entry.library = by_index[index].library;
            }
        }
        imports.push_back(entry);
    }
    return imports;
}

std::string mapped_file(void* handle) {
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        throw std::runtime_error(std::string("dlinfo failed: ") + dlerror());
    }
    return map->l_name;
}
#endif

}  // namespace

loaded_library::loaded_library(const std::string& file_name)
    : m_path((program_folder() / file_name).string()) {
#if defined(_WIN32)
    m_handle = LoadLibraryW(std::filesystem::path(m_path).wstring().c_str());
    if (m_handle == nullptr) {
        throw std::runtime_error("LoadLibrary failed for " + m_path + ": error " +
                                 std::to_string(GetLastError()));
    }
#else
    m_handle = dlopen(m_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) throw std::runtime_error(std::string("dlopen failed: ") + dlerror());
#endif
}

loaded_library::~loaded_library() {
    unload();
}

void* loaded_library::symbol(const char* name) const {
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(m_handle), name));
#else
    return dlsym(m_handle, name);
#endif
}

std::vector<std::string> loaded_library::exported_names() const {
#if defined(_WIN32)
    // The export directory of the module as the loader mapped it.
    const auto* base = static_cast<const unsigned char*>(m_handle);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || nt->Signature != IMAGE_NT_SIGNATURE ||
        nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        throw std::runtime_error(m_path + " is not a 64-bit PE module");
    }
    const IMAGE_DATA_DIRECTORY& entry =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    std::vector<std::string> names;
    if (entry.Size == 0) return names;
    const auto* dir = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
    const auto* name_rvas = reinterpret_cast<const DWORD*>(base + dir->AddressOfNames);
    const auto* name_ordinals = reinterpret_cast<const WORD*>(base + dir->AddressOfNameOrdinals);
    const auto* functions = reinterpret_cast<const DWORD*>(base + dir->AddressOfFunctions);
    std::vector<bool> named(dir->NumberOfFunctions, false);
    for (DWORD i = 0; i < dir->NumberOfNames; ++i) {
        names.emplace_back(reinterpret_cast<const char*>(base + name_rvas[i]));
        if (name_ordinals[i] < named.size()) named[name_ordinals[i]] = true;
    }
    for (DWORD i = 0; i < dir->NumberOfFunctions; ++i) {
        if (!named[i] && functions[i] != 0) {
            names.push_back("#" + std::to_string(dir->Base + i));
        }
    }
    return names;
#else
    // The file the loader mapped for this handle.
    return elf_exports(mapped_file(m_handle));
#endif
}

#if !defined(_WIN32)
std::vector<loaded_library::import> loaded_library::imports() const {
    return elf_imports(mapped_file(m_handle));
}
#endif

bool loaded_library::unload() {
    if (m_handle == nullptr) return true;
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(m_handle));
    m_handle = nullptr;
    return GetModuleHandleW(std::filesystem::path(m_path).filename().wstring().c_str()) == nullptr;
#else
    dlclose(m_handle);
    m_handle = nullptr;
    void* again = dlopen(m_path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (again == nullptr) return true;
    dlclose(again);
    return false;
#endif
}

std::string demangle(const std::string& name) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> readable(
        abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), &std::free);
    return status == 0 && readable ? std::string(readable.get()) : name;
}

}  // namespace tovrel_test
