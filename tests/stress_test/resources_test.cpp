// Harnvik.exe carries its icon (IDI_ICON1: 32-bit images of 128, 48, 32, 24
// and 16 pixels) and a manifest that runs it with the caller's privileges.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>

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

std::wstring program_path() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring own(path, length);
    return own.substr(0, own.find_last_of(L"\\/") + 1) + L"Harnvik.exe";
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

TEST(HarnvikResources, IconHasFive32BitImagesOfTheRequiredSizes) {
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

TEST(HarnvikResources, ManifestRunsAsInvoker) {
    HMODULE exe = LoadLibraryExW(program_path().c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(exe, nullptr);
    const resource_data manifest = find(exe, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(manifest.bytes, nullptr) << "no manifest";
    const std::string text(reinterpret_cast<const char*>(manifest.bytes), manifest.size);
    EXPECT_NE(text.find("requestedExecutionLevel level=\"asInvoker\""), std::string::npos) << text;
    FreeLibrary(exe);
}

}  // namespace
