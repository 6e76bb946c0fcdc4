// The export of a connection profile: owner-only from the first byte, nothing left behind on
// failure, and the window's messages around the save dialog.

#include <sys/stat.h>
#include <unistd.h>

#include <QFileDialog>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "VeltraHostApp/HostProfileExport.h"
#include "host/x11_test_support.h"
#include "host_window_fixture.h"
#include "protocol/RemoteConnectionProfile.h"

namespace veltra::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

Bytes contents(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), {});
}

mode_t mode(const fs::path& path) {
  struct stat status {};
  ::stat(path.c_str(), &status);
  return status.st_mode & 07777;
}

TEST(HostProfileExportTest, WritesOwnerOnlyEvenOverAReadableFileAndUnderAPermissiveUmask) {
  TempDirectory folder;
  const fs::path path = folder.path() / "veltra-connection.json";
  std::ofstream(path) << "old";
  ::chmod(path.c_str(), 0644);
  const mode_t previous = ::umask(0);
  const auto error = writeOwnerOnlyFile(path, asBytes("{\"new\": true}"));
  ::umask(previous);
  ASSERT_FALSE(error) << *error;
  EXPECT_EQ(mode(path), 0600u);
  const std::string written = "{\"new\": true}";
  EXPECT_EQ(contents(path), Bytes(written.begin(), written.end()));
  EXPECT_EQ(entries(folder.path()), std::vector<std::string>{"veltra-connection.json"});
}

TEST(HostProfileExportTest, AFailureLeavesNoFileAndSaysWhyInTheSystemsWords) {
  TempDirectory folder;
  // A missing folder: nothing can be created at all.
  auto error = writeOwnerOnlyFile(folder.path() / "gone" / "x.json", asBytes("{}"));
  ASSERT_TRUE(error);
  EXPECT_EQ(*error, std::strerror(ENOENT));

  // The name is taken by a folder: the temporary file was written, so it must go again.
  fs::create_directory(folder.path() / "taken.json");
  error = writeOwnerOnlyFile(folder.path() / "taken.json", asBytes("{}"));
  ASSERT_TRUE(error);
  EXPECT_EQ(*error, std::strerror(EISDIR));
  EXPECT_EQ(entries(folder.path()), std::vector<std::string>{"taken.json"});

  // A folder that cannot be written (root writes anyway, so only the others see this one).
  if (::geteuid() != 0) {
    const fs::path locked = folder.path() / "locked";
    fs::create_directory(locked);
    ::chmod(locked.c_str(), 0500);
    error = writeOwnerOnlyFile(locked / "x.json", asBytes("{}"));
    ::chmod(locked.c_str(), 0700);
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, std::strerror(EACCES));
    EXPECT_TRUE(entries(locked).empty());
  }
}

TEST(HostProfileExportTest, AProfileThatBreaksARuleIsNotWritten) {
  TempDirectory folder;
  const fs::path path = folder.path() / "p.json";
  EXPECT_EQ(exportConnectionProfile(path, "192.168.1.20", 1023, RemoteAuthentication::newKey()),
            "Could not export connection JSON: Invalid connection profile: check version, "
            "address, port and display settings.");
  EXPECT_TRUE(entries(folder.path()).empty());
}

using HostExportTest = HostWindowFixture;

// Answers the save dialog the moment it is open, as the user would.
void answerSaveDialog(std::function<void(QFileDialog&)> answer) {
  QTimer::singleShot(0, [answer = std::move(answer)] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (!dialog) {
      ADD_FAILURE() << "no save dialog";
      return;
    }
    answer(*dialog);
  });
}

QLabel* profileMessage(HostWindowFixture& fixture) {
  return fixture.window_->findChild<QLabel*>("profileMessage");
}

TEST_F(HostExportTest, ExportThroughTheSaveDialogWritesTheProfileBytesOwnerOnly) {
  TempDirectory folder;
  addresses_ = {{"eth0", "192.168.1.20"}};
  openWindow();
  QLabel* message = profileMessage(*this);
  ASSERT_NE(message, nullptr);
  EXPECT_TRUE(message->isHidden());

  const fs::path path = folder.path() / "veltra-connection.json";
  answerSaveDialog([&](QFileDialog& dialog) {
    EXPECT_EQ(dialog.windowTitle(),
              "Includes the Host connection key. Share only with your own computer.");
    EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptSave);
    EXPECT_EQ(dialog.nameFilters(), QStringList{"JSON (*.json)"});
    ASSERT_FALSE(dialog.selectedFiles().isEmpty());
    EXPECT_TRUE(dialog.selectedFiles().front().endsWith("/veltra-connection.json"));
    dialog.setDirectory(QString::fromStdString(folder.path().string()));
    dialog.selectFile("veltra-connection.json");
    static_cast<QDialog&>(dialog).accept();  // the Save button
  });
  click("Export JSON");

  EXPECT_EQ(message->text(), "Connection JSON saved. Import it in Remote, then Connect.");
  EXPECT_FALSE(message->isHidden());
  EXPECT_EQ(
      contents(path),
      RemoteConnectionProfile("192.168.1.20", host_->port(), host_->connectionKey()).encoded());
  EXPECT_EQ(mode(path), 0600u);
  EXPECT_EQ(entries(folder.path()), std::vector<std::string>{"veltra-connection.json"});

  // A cancelled dialog afterwards changes nothing: the file, and the message.
  const Bytes before = contents(path);
  host_->setConnectionKey(RemoteAuthentication::newKey());
  answerSaveDialog([](QFileDialog& dialog) { dialog.reject(); });
  click("Export JSON");
  EXPECT_EQ(message->text(), "Connection JSON saved. Import it in Remote, then Connect.");
  EXPECT_EQ(contents(path), before);
  EXPECT_EQ(entries(folder.path()), std::vector<std::string>{"veltra-connection.json"});
}

TEST_F(HostExportTest, AFailedExportShowsTheFailureUnderTheAddressesAndLeavesNoFile) {
  TempDirectory folder;
  fs::create_directory(folder.path() / "taken.json");
  fs::path target = folder.path() / "taken.json";
  HostView::Options options;
  options.chooseExportPath = [&](QWidget*) -> std::optional<fs::path> { return target; };
  openWindow(options);
  click("Export JSON");
  QLabel* message = profileMessage(*this);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->text().toStdString(),
            std::string("Could not export connection JSON: ") + std::strerror(EISDIR));
  EXPECT_FALSE(message->isHidden());
  EXPECT_EQ(entries(folder.path()), std::vector<std::string>{"taken.json"});

  // A later success replaces the message.
  target = folder.path() / "ok.json";
  click("Export JSON");
  EXPECT_EQ(message->text(), "Connection JSON saved. Import it in Remote, then Connect.");
  EXPECT_EQ(mode(target), 0600u);
}

}  // namespace
}  // namespace veltra::test
