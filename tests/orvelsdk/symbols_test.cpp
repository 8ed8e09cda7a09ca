// The shared library's dynamic symbol table: the C API and nothing else.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

TEST(ExportTable, ExactlyTheCApiAndTheBstrFunctions) {
    const std::string command = std::string("nm -D --defined-only ") + ORVEL_SDK_LIBRARY;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    ASSERT_NE(pipe, nullptr);
    std::string text;
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get())) text.append(buffer, n);

    std::set<std::string> defined, laterNode;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address, type, name;
        fields >> address >> type >> name;
        if (type == "A") continue;  // the version node
        const size_t at = name.find('@');
        defined.insert(name.substr(0, at));
        if (at != std::string::npos && name.substr(at) == "@@ORVELSDK_1.1") laterNode.insert(name.substr(0, at));
    }
    const std::set<std::string> expected = {
        "ORVEL_Login",           "ORVEL_Relogin",        "ORVEL_GetSpace",       "ORVEL_Delete",
        "ORVEL_Rename",          "ORVEL_Move",           "ORVEL_NewFolder",      "ORVEL_EnumFiles",
        "ORVEL_DestoryFiles",    "ORVEL_GetFilesNum",    "ORVEL_GetFileType",    "ORVEL_GetFileId",
        "ORVEL_GetParentId",     "ORVEL_GetFileName",    "ORVEL_GetFileSize",    "ORVEL_GetModifyTime",
        "ORVEL_GetFileSha1",     "ORVEL_GetFileVersion", "ORVEL_CreateProgress", "ORVEL_Upload",
        "ORVEL_Update",          "ORVEL_Download",       "ORVEL_QueryProgress",  "ORVEL_CancelTransport",
        "ORVEL_DestroyProgress", "ORVEL_GetFileSize64",  "SysAllocString",       "SysAllocStringLen",
        "SysFreeString",         "SysStringLen",         "ORVEL_GetResultText",  "ORVEL_GetVersion",
        "ORVEL_GetLastErrorText"};
    EXPECT_EQ(defined, expected) << text;
    // Exports added after the first release carry a version node of their own.
    EXPECT_EQ(laterNode, (std::set<std::string>{"ORVEL_GetResultText", "ORVEL_GetVersion", "ORVEL_GetLastErrorText"}))
        << text;
}
