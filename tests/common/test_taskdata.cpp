#include "remotestorage/taskdata.h"
#include "common_fixture.h"

using TaskDataTest = CommonTest;

namespace {
// A record of the never-same kind that needs nothing from the remote-storage unit.
class NeverSameRecord : public TaskNeverSame {
public:
    std::unique_ptr<TaskDataBase> Clone() const override { return std::make_unique<NeverSameRecord>(*this); }
};
}  // namespace

TEST_F(TaskDataTest, ConstructionValues) {
    TaskData_DeleteEx del;
    EXPECT_EQ(del.strTaskName, "DeleteFile");
    EXPECT_EQ(del.nFlag, 0);
    EXPECT_EQ(del.nReserved3, 0);
    EXPECT_EQ(del.bToRecycle, 0);
    EXPECT_EQ(del.nFolderVer, -1);

    TaskData_Rename rename;
    EXPECT_EQ(rename.strTaskName, "");
    EXPECT_EQ(rename.nFlag, 1);
    EXPECT_EQ(rename.nReserved1, 0);
    EXPECT_EQ(rename.bIsDir, 0);
    EXPECT_EQ(rename.nReserved2, 0);
    EXPECT_EQ(rename.nReserved3, 1);

    TaskData_DirectoryAdd add("/home/u/Sync/Photos/", 7);
    EXPECT_EQ(add.strTaskName, "NewFolder");
    EXPECT_EQ(add.bIsDir, 1);
    EXPECT_EQ(add.nReserved3, 7);
    EXPECT_EQ(add.strPath, "/home/u/Sync/Photos/");
    EXPECT_EQ(add.strName, "Photos");
    EXPECT_EQ(add.strParentId, "");
    EXPECT_EQ(TaskData_DirectoryAdd("C:\\Sync\\Docs").strName, "Docs");
    EXPECT_EQ(TaskData_DirectoryAdd("plain").strName, "plain");
    EXPECT_EQ(TaskData_DirectoryAdd().strName, "");
    EXPECT_FALSE(Logged("ASSERT"));
    TaskData_DirectoryAdd none(nullptr);
    EXPECT_EQ(none.strPath, "");
    EXPECT_TRUE(Logged("*ASSERT*: szFullPath\r\n"));
}

TEST_F(TaskDataTest, IsSameAndClone) {
    TaskData_Rename a, b;
    a.strId = b.strId = "1";
    a.strNewName = "x";  // own fields are not compared by the base
    EXPECT_TRUE(a.IsSame(b));
    b.nFlag = 0;
    EXPECT_FALSE(a.IsSame(b));

    NeverSameRecord n;
    EXPECT_FALSE(n.IsSame(n));

    TaskData_DirectoryAdd d1("/a/b"), d2("/a/b");
    EXPECT_TRUE(d1.IsSame(d2));
    d2.strParentId = "p";
    EXPECT_FALSE(d1.IsSame(d2));
    TaskData_Rename sameBase;
    sameBase.strTaskName = "NewFolder";
    sameBase.strPath = "/a/b";
    sameBase.bIsDir = 1;
    EXPECT_FALSE(d1.IsSame(sameBase));  // another record type never matches

    TaskData_Move move;
    move.strParentId = "p";
    move.strName = "n";
    std::unique_ptr<TaskDataBase> copy = move.Clone();
    auto* typed = dynamic_cast<TaskData_Move*>(copy.get());
    ASSERT_NE(typed, nullptr);
    EXPECT_EQ(typed->strParentId, "p");
    EXPECT_EQ(typed->strName, "n");
}

TEST_F(TaskDataTest, DescribeTexts) {
    TaskData_DeleteEx del;
    del.strId = "42";
    del.strPath = "/s/a.txt";
    EXPECT_EQ(del.Describe(), "生成任务:删除文件 id=42 path=/s/a.txt");
    del.bIsDir = 1;
    del.nFolderVer = 3;
    EXPECT_EQ(del.Describe(), "生成任务:删除目录 id=42 path=/s/a.txt folderver=3");
    EXPECT_EQ(TaskData_DirectoryAdd("/s/new").Describe(), "生成任务:创建目录'/s/new'");
    EXPECT_EQ(TaskData_Rename().Describe(), "");

    const std::string longPath = "/s/" + std::string(3000, 'p');  // not a log line: never cut
    EXPECT_EQ(TaskData_DirectoryAdd(longPath.c_str()).Describe(), "生成任务:创建目录'" + longPath + "'");
}

TEST_F(TaskDataTest, CreateTaskAndExecuteDefaults) {
    TaskData_DeleteEx del;
    del.strId = "9";
    auto file = del.CreateTask();
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->kind, SyncTask::Kind::DeleteFile);
    EXPECT_EQ(file->strId, "9");
    del.bIsDir = 1;
    EXPECT_EQ(del.CreateTask()->kind, SyncTask::Kind::DeleteFolder);
    EXPECT_EQ(TaskData_DirectoryAdd("/x").CreateTask()->kind, SyncTask::Kind::CreateFolder);
    EXPECT_FALSE(Logged("ASSERT"));

    TaskData_GetItemInfo info;
    EXPECT_EQ(info.CreateTask(), nullptr);
    EXPECT_TRUE(Logged("*ASSERT*: !L\"CreateTask Failed: No Task!\"\r\n"));
    RecordTree answer;
    EXPECT_EQ(info.Execute(nullptr, answer), E_FAIL);
    EXPECT_TRUE(Logged("*ASSERT*: 0\r\n"));
}
