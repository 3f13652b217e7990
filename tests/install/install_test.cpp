// The installed layout: `cmake --install` into a temporary prefix, then moved to another folder
// (a package may be unpacked anywhere). The programs find their documents and their encoder
// from that prefix, never from the build machine's source tree.

#include <gtest/gtest.h>

#include <QDir>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/paths.h"
#include "convert/formats.h"
#include "support/tempdir.h"
#include "ui/documents.h"

namespace qv {
namespace {

std::string RunCommand(const std::string& command, int& status) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) {
    status = -1;
    return output;
  }
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  status = ::pclose(pipe);
  return output;
}

TEST(InstalledLayout, DocumentsAndProgramsComeFromThePrefix) {
  test::TempDir dir;
  const std::string prefix = dir.file("first prefix");
  int status = 0;
  const std::string log = RunCommand("cmake --install " + ShellQuote(QV_BINARY_DIR) + " --prefix " +
                                  ShellQuote(prefix) + " 2>&1",
                              status);
  ASSERT_EQ(status, 0) << log;
  const std::string moved = dir.file("moved");
  std::filesystem::rename(prefix, moved);

  for (const char* file :
       {"bin/quorvin", "bin/quorvin-cli", "bin/qvfaac", "share/applications/quorvin.desktop",
        "share/icons/hicolor/scalable/apps/quorvin.svg",
        "share/icons/hicolor/48x48/apps/quorvin.png",
        "share/icons/hicolor/256x256/apps/quorvin.png",
        "share/metainfo/org.quorvin.Quorvin.metainfo.xml", "share/man/man1/quorvin-cli.1.gz",
        "share/man/man1/qvfaac.1.gz", "share/man/man1/quorvin.1.gz", "share/doc/quorvin/README.md",
        "share/doc/quorvin/CHANGELOG.md", "share/doc/quorvin/copyright",
        "share/doc/quorvin-cli/copyright", "share/doc/quorvin-cli/changelog.gz",
        "share/zsh/vendor-completions/_quorvin-cli",
        "share/fish/vendor_completions.d/quorvin-cli.fish"}) {
    EXPECT_TRUE(std::filesystem::exists(moved + "/" + file)) << file;
  }
  // The bash completion offers every format the program writes, and the options.
  const auto complete = [&](const std::string& words, int current) {
    const std::string script = ShellQuote(moved + "/share/bash-completion/completions/quorvin-cli");
    return RunCommand("bash -c " + ShellQuote(". " + script + "; COMP_WORDS=(" + words +
                                              "); COMP_CWORD=" + std::to_string(current) +
                                              "; _quorvin_cli; echo \"${COMPREPLY[*]}\""),
                      status);
  };
  std::string keys;
  for (const OutputFormat& format : OutputFormats()) keys += (keys.empty() ? "" : " ") + std::string(format.key);
  EXPECT_EQ(complete("quorvin-cli --format ''", 2), keys + "\n");
  EXPECT_EQ(complete("quorvin-cli --stan", 1), "--standard\n");
  EXPECT_EQ(DocumentFolder(QString::fromStdString(moved + "/bin")).toStdString(),
            moved + "/share/doc/quorvin");

  const std::string version = RunCommand(ShellQuote(moved + "/bin/quorvin-cli") + " --version", status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(version, std::string("quorvin-cli ") + QV_VERSION_STRING + "\n");
}

}  // namespace
}  // namespace qv
