#include "common/settings.h"
#include "hwinfo/hardware_info.h"
#include "platform/strings.h"

std::string ChooseProgramVersion(std::string_view setting, std::string_view fileVersion) {
    // Compared as the wide texts they are, code unit by code unit.
    if (Utf8ToUtf16(setting) >= Utf8ToUtf16(fileVersion)) return std::string(setting);
    return std::string(fileVersion);
}

std::string GetProgramVersion() {
    std::string setting = ReadSettingString("Tavik", "ProgramVersion", "");
    return ChooseProgramVersion(setting, kLibraryFileVersion);
}
