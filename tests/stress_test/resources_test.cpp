// Harnvik.exe carries its icon (IDI_ICON1: 32-bit images of 128, 48, 32, 24
// and 16 pixels) and a manifest that runs it with the caller's privileges;
// it and every DLL of ours carry a version resource.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

#pragma pack(push, 2)
struct group_icon_entry {
    BYTE width;  // 0 means 256
    BYTE height;
    BYTE color_count;
    BYTE reserved;
    WORD planes;
    WORD bit_count;
    DWORD bytes_in_resource;
    WORD id;
};
struct group_icon_header {
    WORD reserved;
    WORD type;  // 1: icon
    WORD count;
};
#pragma pack(pop)

// A file beside this test program: the build puts programs and DLLs together.
std::wstring beside_test(const std::wstring& name) {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring own(path, length);
    return own.substr(0, own.find_last_of(L"\\/") + 1) + name;
}

std::wstring program_path() {
    return beside_test(L"Harnvik.exe");
}

std::string narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

// A text of the version resource's US English, UTF-16 table.
std::wstring version_text(std::vector<BYTE>& data, const std::wstring& key) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring path = L"\\StringFileInfo\\040904B0\\" + key;
    if (!VerQueryValueW(data.data(), path.c_str(), &value, &length) || length == 0) return {};
    return std::wstring(static_cast<const wchar_t*>(value), length - 1);
}

struct resource_data {
    const BYTE* bytes = nullptr;
    DWORD size = 0;
};

resource_data find(HMODULE module, LPCWSTR name, LPCWSTR type) {
    HRSRC found = FindResourceW(module, name, type);
    if (found == nullptr) return {};
    HGLOBAL loaded = LoadResource(module, found);
    return {static_cast<const BYTE*>(LockResource(loaded)), SizeofResource(module, found)};
}

TEST(harnvik_resources, icon_has_five_32_bit_images_of_the_required_sizes) {
    HMODULE exe = LoadLibraryExW(program_path().c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(exe, nullptr) << "cannot open Harnvik.exe";

    const resource_data group = find(exe, L"IDI_ICON1", MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
    ASSERT_NE(group.bytes, nullptr) << "no icon group IDI_ICON1";
    ASSERT_GE(group.size, sizeof(group_icon_header));
    group_icon_header header;
    std::memcpy(&header, group.bytes, sizeof header);
    EXPECT_EQ(header.type, 1);
    ASSERT_EQ(group.size, sizeof header + header.count * sizeof(group_icon_entry));

    std::multiset<int> sizes;
    for (WORD i = 0; i < header.count; ++i) {
        group_icon_entry entry;
        std::memcpy(&entry, group.bytes + sizeof header + i * sizeof entry, sizeof entry);
        const int width = entry.width == 0 ? 256 : entry.width;
        EXPECT_EQ(entry.width, entry.height);
        EXPECT_EQ(entry.bit_count, 32) << width << " px";
        sizes.insert(width);

        // The image itself: a 32-bit DIB (or a PNG, which is always 32-bit here).
        const resource_data image = find(exe, MAKEINTRESOURCEW(entry.id), MAKEINTRESOURCEW(3));
        ASSERT_NE(image.bytes, nullptr) << "missing image " << entry.id;
        ASSERT_GE(image.size, 40u);
        if (std::memcmp(image.bytes, "\x89PNG", 4) != 0) {
            BITMAPINFOHEADER info;
            std::memcpy(&info, image.bytes, sizeof info);
            EXPECT_EQ(info.biBitCount, 32) << width << " px";
            EXPECT_EQ(info.biWidth, width);
        }
    }
    EXPECT_EQ(sizes, (std::multiset<int>{128, 48, 32, 24, 16}));
    FreeLibrary(exe);
}

TEST(harnvik_resources, manifest_runs_as_invoker) {
    HMODULE exe = LoadLibraryExW(program_path().c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(exe, nullptr);
    const resource_data manifest = find(exe, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(manifest.bytes, nullptr) << "no manifest";
    const std::string text(reinterpret_cast<const char*>(manifest.bytes), manifest.size);
    EXPECT_NE(text.find("requestedExecutionLevel level=\"asInvoker\""), std::string::npos) << text;
    FreeLibrary(exe);
}

TEST(harnvik_resources, every_shipped_binary_names_its_version_product_and_purpose) {
    const DWORD version_ms = DWORD(KARVON_VERSION_MAJOR) << 16 | KARVON_VERSION_MINOR;
    const DWORD version_ls = DWORD(KARVON_VERSION_PATCH) << 16;
    for (const std::wstring name :
         {L"Harnvik.exe", L"harnvik_report.exe", L"Karvon.Threads.x64.dll", L"Karvon.Work.x64.dll",
          L"Karvon.Wendrix.x64.dll", L"Selmet.Palvex.x64.dll", L"Tovrel.ffmpeg.x64.dll"}) {
        SCOPED_TRACE(narrow(name));
        const std::wstring path = beside_test(name);
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
        ASSERT_GT(size, 0u) << "no version resource";
        std::vector<BYTE> data(size);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, data.data()));
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
        EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
        EXPECT_EQ(fixed->dwFileVersionMS, version_ms);
        EXPECT_EQ(fixed->dwFileVersionLS, version_ls);
        EXPECT_EQ(fixed->dwProductVersionMS, version_ms);
        EXPECT_EQ(fixed->dwProductVersionLS, version_ls);
        EXPECT_EQ(fixed->dwFileType, name.ends_with(L".exe") ? DWORD(VFT_APP) : DWORD(VFT_DLL));
        EXPECT_EQ(narrow(version_text(data, L"FileVersion")), KARVON_VERSION);
        EXPECT_EQ(narrow(version_text(data, L"ProductVersion")), KARVON_VERSION);
        EXPECT_EQ(narrow(version_text(data, L"ProductName")), "Harnvik");
        EXPECT_EQ(version_text(data, L"OriginalFilename"), name);
        EXPECT_GE(version_text(data, L"FileDescription").size(), 10u);
    }
}

}  // namespace
