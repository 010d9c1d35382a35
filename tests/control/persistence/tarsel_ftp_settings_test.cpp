// tarsel-ftp's file of stored settings: the options that name it, and the round trip.
#include <fstream>

#include <gtest/gtest.h>

#include "command_line.h"
#include "settings_file.h"
#include "support/fake_platform.h"

namespace tarselftp {
namespace {

TEST(TarselFtpSettingsTest, OptionsNameTheFilesToLoadAndToSave) {
    const ParsedOptions parsed =
        ParseOptions({"--settings", "in.txt", "--save-settings=out.txt", "ftp.example"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.settingsFile, "in.txt");
    EXPECT_EQ(parsed.options.saveSettingsFile, "out.txt");
    EXPECT_EQ(ParseOptions({"--settings", "", "h"}).error, "--settings needs a file name");
    EXPECT_EQ(ParseOptions({"h", "--save-settings"}).error, "--save-settings needs a value");
}

TEST(TarselFtpSettingsTest, SavedSettingsComeBackInTheNextRun) {
    const std::string path = ::testing::TempDir() + "tarsel_ftp_settings.txt";
    std::remove(path.c_str());
    tarselctl::FakePlatform platform;
    {
        tarselctl::tarsel control(platform);
        // A missing file is a first run: every setting keeps its default.
        EXPECT_EQ(LoadSettings(control, path), "");
        EXPECT_EQ(control.get_port(), u"21");
        control.put_port(u"2121");
        control.put_Passive(tarselctl::True);
        control.put_FileCode(u"EUC");
        control.put_PreCommand(u"SITE UMASK 022");
        EXPECT_EQ(SaveSettings(control, path), "");
    }
    tarselctl::tarsel control(platform);
    EXPECT_EQ(LoadSettings(control, path), "");
    EXPECT_EQ(control.get_port(), u"2121");
    EXPECT_EQ(control.get_Passive(), tarselctl::True);
    EXPECT_EQ(control.get_FileCode(), u"EUC");
    EXPECT_EQ(control.get_PreCommand(), u"SITE UMASK 022");
    EXPECT_EQ(control.get_Filetype(), u"I");

    std::ofstream(path, std::ios::trunc) << "NoopTime=soon\n";
    EXPECT_EQ(LoadSettings(control, path), "Type mismatch (13)");
    std::ofstream(path, std::ios::trunc) << "not a setting\n";
    EXPECT_NE(LoadSettings(control, path).find("Invalid file format"), std::string::npos);
    EXPECT_NE(SaveSettings(control, ::testing::TempDir() + "no/such/dir/settings.txt").find("(75)"),
              std::string::npos);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace tarselftp
