// Loading and saving the control's settings, the component version warnings, the fixed size
// and the about box.
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tarsel/property_bag.h>

#include "command/raised_error.h"
#include "control/template_settings.h"
#include "support/control_harness.h"
#include "support/tarsel_private_access.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using I = tarselInspector;

const String kOldSocketWarning = u"SOQUETOCXのバージョンが古いため動作しない場合があります。";
const String kOldConverterWarning = u"CODAWAOCXのバージョンが古いため動作しない場合があります。";

/// Storage that logs each access as "Read Key" / "Write Key=value/default" and can make the
/// n-th access (counting from 0) fail the way a host's storage fails.
class LoggingBag : public MemoryPropertyBag {
public:
    std::vector<std::string> log;
    std::optional<int> failAt;

    Variant Read(const String& key, VarType type, const Variant& defaultValue) override {
        Step("Read " + ToUtf8(key));
        return MemoryPropertyBag::Read(key, type, defaultValue);
    }
    void Write(const String& key, const Variant& value, const Variant& defaultValue) override {
        Step("Write " + ToUtf8(key) + "=" + value.Describe() + "/" + defaultValue.Describe());
        MemoryPropertyBag::Write(key, value, defaultValue);
    }

private:
    void Step(std::string entry) {
        if (failAt && static_cast<int>(log.size()) == *failAt)
            throw AutomationError(75, u"PropertyBag", u"Path/File access error");
        log.push_back(std::move(entry));
    }
};

class PersistenceTest : public ControlTest {
protected:
    PersistenceTest() : ControlTest(FakePlatform::CodawaKind::Fake) {}

    void SetEveryStoredSetting(tarsel& c) {
        c.put_PreCommand(u"SITE UMASK 022\r\nSITE IDLE 60");
        c.put_Filetype(u"A");
        c.put_SysCode(u"SJIS");
        c.put_FileCode(u"JIS");
        c.put_Account(u"acct");
        c.put_port(u"2121");
        c.put_Passive(True);
        c.put_NoopTime(45);
        c.put_DataPeerCheck(False);
        c.put_TlsMode(u"explicit");
        c.put_TlsCaFile(u"/etc/ca.pem");
        c.put_TlsVerify(False);
        c.put_HostCode(u"UTF8");
        c.put_TlsAllowClearData(True);
        c.put_DirCommand(u"mlsd");
        c.put_PasvAddress(True);
        c.put_TypeOnce(True);
    }

    static void ExpectDefaults(const tarsel& c) {
        EXPECT_EQ(c.get_PreCommand(), u"");
        EXPECT_EQ(c.get_Filetype(), u"I");
        EXPECT_EQ(c.get_SysCode(), u"EUC");
        EXPECT_EQ(c.get_FileCode(), u"BIN");
        EXPECT_EQ(c.get_Account(), u"");
        EXPECT_EQ(c.get_port(), u"21");
        EXPECT_EQ(c.get_Passive(), False);
        EXPECT_EQ(c.get_NoopTime(), 0);
        EXPECT_EQ(c.get_DataPeerCheck(), True);
        EXPECT_EQ(c.get_TlsMode(), u"");
        EXPECT_EQ(c.get_TlsCaFile(), u"");
        EXPECT_EQ(c.get_TlsVerify(), True);
        EXPECT_EQ(c.get_HostCode(), u"SJIS");
        EXPECT_EQ(c.get_TlsAllowClearData(), False);
        EXPECT_EQ(c.get_DirCommand(), u"LIST");
        EXPECT_EQ(c.get_PasvAddress(), False);
        EXPECT_EQ(c.get_TypeOnce(), False);
    }
};

TEST_F(PersistenceTest, DefaultsStoreNoKeyAndAnEmptyStorageLoadsDefaults) {
    MemoryPropertyBag bag;
    control.WriteProperties(bag);
    EXPECT_THAT(bag.values, IsEmpty());

    // Keys already stored go when their value is back at its default.
    bag.values[u"Port"] = Variant::FromString(u"2121");
    control.WriteProperties(bag);
    EXPECT_THAT(bag.values, IsEmpty());

    SetEveryStoredSetting(control);
    control.ReadProperties(bag);
    ExpectDefaults(control);
    EXPECT_THAT(platform.messages, IsEmpty());
}

TEST_F(PersistenceTest, KeysAreWrittenAndReadInTheirOwnOrdersWithTheirDefaults) {
    LoggingBag bag;
    SetEveryStoredSetting(control);
    control.WriteProperties(bag);
    EXPECT_THAT(bag.log, ElementsAre("Write PreCommand=String(SITE UMASK 022\r\nSITE IDLE 60)/String()",
                                     "Write Type=String(A)/String(I)",
                                     "Write SysCode=String(SJIS)/String(EUC)",
                                     "Write FileCode=String(JIS)/String(BIN)",
                                     "Write Account=String(acct)/String()",
                                     "Write Port=String(2121)/String(21)",
                                     "Write Passive=Boolean(True)/Boolean(False)",
                                     "Write NoopTime=Long(45)/Long(0)",
                                     "Write DataPeerCheck=Boolean(False)/Boolean(True)",
                                     "Write TlsMode=String(explicit)/String()",
                                     "Write TlsCaFile=String(/etc/ca.pem)/String()",
                                     "Write TlsVerify=Boolean(False)/Boolean(True)",
                                     "Write HostCode=String(UTF8)/String(SJIS)",
                                     "Write TlsAllowClearData=Boolean(True)/Boolean(False)",
                                     "Write DirCommand=String(MLSD)/String(LIST)",
                                     "Write PasvAddress=Boolean(True)/Boolean(False)",
                                     "Write TypeOnce=Boolean(True)/Boolean(False)"));

    bag.log.clear();
    tarsel loaded(platform);
    loaded.ReadProperties(bag);
    EXPECT_THAT(bag.log, ElementsAre("Read PreCommand", "Read Passive", "Read Type", "Read SysCode",
                                     "Read FileCode", "Read Account", "Read Port", "Read NoopTime",
                                     "Read DataPeerCheck", "Read TlsMode", "Read TlsCaFile",
                                     "Read TlsVerify", "Read HostCode", "Read TlsAllowClearData",
                                     "Read DirCommand", "Read PasvAddress", "Read TypeOnce"));
    EXPECT_EQ(loaded.get_PreCommand(), u"SITE UMASK 022\r\nSITE IDLE 60");
    EXPECT_EQ(loaded.get_Filetype(), u"A");
    EXPECT_EQ(loaded.get_SysCode(), u"SJIS");
    EXPECT_EQ(loaded.get_FileCode(), u"JIS");
    EXPECT_EQ(loaded.get_Account(), u"acct");
    EXPECT_EQ(loaded.get_port(), u"2121");
    EXPECT_EQ(loaded.get_Passive(), True);
    EXPECT_EQ(loaded.get_NoopTime(), 45);
    EXPECT_EQ(loaded.get_DataPeerCheck(), False);
    EXPECT_EQ(loaded.get_PasvAddress(), True);
    EXPECT_EQ(loaded.get_TypeOnce(), True);
}

// A stored text must mean what the same text written by the host means; taken as stored, a
// lower-case "euc" used to convert downloads and send uploads out unconverted.
TEST_F(PersistenceTest, StoredTextsLoadAsTheirWritersTakeThem) {
    MemoryPropertyBag bag;
    bag.values[u"FileCode"] = Variant::FromString(u"euc");
    bag.values[u"SysCode"] = Variant::FromString(u"sjis");
    bag.values[u"Type"] = Variant::FromString(u"binary");
    bag.values[u"TlsMode"] = Variant::FromString(u"Explicit");
    bag.values[u"HostCode"] = Variant::FromString(u"utf-8");
    // Storage written by another host may hold any number for a truth value.
    bag.values[u"Passive"] = Variant::FromLong(1);
    bag.values[u"TlsVerify"] = Variant::FromInteger(0);
    control.ReadProperties(bag);
    EXPECT_EQ(control.get_FileCode(), u"EUC");
    EXPECT_EQ(control.get_SysCode(), u"SJIS");
    EXPECT_EQ(control.get_Filetype(), u"I");
    EXPECT_EQ(control.get_TlsMode(), u"explicit");
    EXPECT_EQ(control.get_HostCode(), u"UTF8");
    EXPECT_EQ(control.get_Passive(), True);
    EXPECT_EQ(control.get_TlsVerify(), False);

    codawa1().codeNameWrites.clear();
    codawa2().codeNameWrites.clear();
    control.Connect(u"ftp.example", u"user", u"pw");
    EXPECT_THAT(codawa1().codeNameWrites, ElementsAre(u"SJIS"));
    EXPECT_THAT(codawa2().codeNameWrites, ElementsAre(u"EUC"));

    // Saved again, the settings are in the forms the writers give.
    MemoryPropertyBag saved;
    control.WriteProperties(saved);
    EXPECT_EQ(saved.values[u"FileCode"], Variant::FromString(u"EUC"));
    EXPECT_EQ(saved.values[u"TlsMode"], Variant::FromString(u"explicit"));
    EXPECT_EQ(saved.values.count(u"Type"), 0u);  // "binary" is the default "I"
}

// A stored text no writer understands must not fail the load of everything else, and must not
// quietly mean something at Connect either.
TEST_F(PersistenceTest, StoredTextsNoWriterUnderstandsLoadAsStoredAndConnectRefusesThem) {
    struct Case {
        const char16_t* key;
        const char16_t* stored;
        std::string refusal;
    };
    const Case cases[] = {
        {u"Type", u"x", "54|FileType|Invalid File Type"},
        {u"SysCode", u"JIS", "54|SysCode|Invalid System Kanji Code"},
        {u"FileCode", u"", "54|FileCode|Invalid File Kanji Code"},
        {u"HostCode", u"EUC", "54|HostCode|Invalid Host Kanji Code"},
        {u"TlsMode", u"ssl", "54|TlsMode|Invalid TLS Mode (\"\", \"explicit\" or \"implicit\")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToUtf8(c.key));
        tarsel loaded(platform);
        MemoryPropertyBag bag;
        bag.values[c.key] = Variant::FromString(c.stored);
        bag.values[u"Port"] = Variant::FromString(u"2121");
        EXPECT_EQ(RaisedError([&] { loaded.ReadProperties(bag); }), "none");
        EXPECT_EQ(loaded.get_port(), u"2121");

        MemoryPropertyBag saved;
        loaded.WriteProperties(saved);
        EXPECT_EQ(saved.values[c.key], Variant::FromString(c.stored));

        platform.calls.clear();
        EXPECT_EQ(RaisedError([&] { loaded.Connect(u"ftp.example", u"user", u"pw"); }), c.refusal);
        EXPECT_EQ(loaded.get_FtpCommand(), u"");
        EXPECT_THAT(platform.calls, IsEmpty());
    }
}

// The Boolean properties hold True (-1) or False (0) only, whatever non-zero value a host
// writes: a host comparing with True must see what it wrote.
TEST_F(PersistenceTest, BooleanPropertiesReadBackAsTrueOrFalse) {
    for (Boolean written : {Boolean{1}, Boolean{5}, True}) {
        control.put_Passive(written);
        control.put_DataPeerCheck(written);
        control.put_TlsVerify(written);
        EXPECT_EQ(control.get_Passive(), True) << written;
        EXPECT_EQ(control.get_DataPeerCheck(), True) << written;
        EXPECT_EQ(control.get_TlsVerify(), True) << written;
    }
    control.put_Passive(False);
    EXPECT_EQ(control.get_Passive(), False);
}

TEST_F(PersistenceTest, StoredNoopTimeWaitsForTheFirstCompletedOperation) {
    MemoryPropertyBag bag;
    bag.values[u"NoopTime"] = Variant::FromLong(30);
    control.ReadProperties(bag);
    EXPECT_EQ(control.get_NoopTime(), 30);
    EXPECT_FALSE(t1().enabled);
    EXPECT_EQ(I::NoopCountdown(control), -1);

    ConnectAndLogin();
    EXPECT_TRUE(t1().enabled);
    EXPECT_EQ(I::NoopCountdown(control), 30);
}

TEST_F(PersistenceTest, NonNumericNoopTimeFailsTheLoadAfterTheKeysBeforeIt) {
    s1().socketVersion = 208;
    MemoryPropertyBag bag;
    bag.values[u"PreCommand"] = Variant::FromString(u"SITE X");
    bag.values[u"Port"] = Variant::FromString(u"990");
    bag.values[u"NoopTime"] = Variant::FromString(u"thirty");
    control.put_NoopTime(5);
    try {
        control.ReadProperties(bag);
        FAIL() << "the load went through";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.Number(), 13);
        EXPECT_EQ(e.Description(), u"Type mismatch");
    }
    EXPECT_EQ(control.get_PreCommand(), u"SITE X");
    EXPECT_EQ(control.get_port(), u"990");
    EXPECT_EQ(control.get_NoopTime(), 5);
    EXPECT_THAT(platform.messages, IsEmpty());  // the version checks were skipped
}

// Storage failing at each access in turn: the keys handled before keep their new values,
// the rest their old ones, and the error ends the call.
TEST_F(PersistenceTest, StorageFailingAtEachKeyEndsTheLoadThere) {
    const std::vector<String> readOrder = {u"PreCommand", u"Passive", u"Type", u"SysCode",
                                           u"FileCode", u"Account", u"Port", u"NoopTime",
                                           u"DataPeerCheck", u"TlsMode", u"TlsCaFile",
                                           u"TlsVerify", u"HostCode", u"TlsAllowClearData",
                                           u"DirCommand", u"PasvAddress", u"TypeOnce"};
    s1().socketVersion = 208;
    for (int n = 0; n <= 17; ++n) {
        SCOPED_TRACE("failing at access " + std::to_string(n));
        tarsel& target = control;
        SetEveryStoredSetting(target);
        platform.messages.clear();
        LoggingBag bag;  // empty: every key reads as its default
        if (n < 17) bag.failAt = n;
        bool failed = false;
        try {
            target.ReadProperties(bag);
        } catch (const AutomationError& e) {
            failed = true;
            EXPECT_EQ(e.Number(), 75);
        }
        EXPECT_EQ(failed, n < 17);
        EXPECT_EQ(static_cast<int>(bag.log.size()), n);
        auto loaded = [&](const String& key) {
            for (int i = 0; i < n; ++i)
                if (readOrder[static_cast<std::size_t>(i)] == key) return true;
            return false;
        };
        EXPECT_EQ(target.get_PreCommand(), loaded(u"PreCommand") ? u"" : u"SITE UMASK 022\r\nSITE IDLE 60");
        EXPECT_EQ(target.get_Passive(), loaded(u"Passive") ? False : True);
        EXPECT_EQ(target.get_Filetype(), loaded(u"Type") ? u"I" : u"A");
        EXPECT_EQ(target.get_SysCode(), loaded(u"SysCode") ? u"EUC" : u"SJIS");
        EXPECT_EQ(target.get_FileCode(), loaded(u"FileCode") ? u"BIN" : u"JIS");
        EXPECT_EQ(target.get_Account(), loaded(u"Account") ? u"" : u"acct");
        EXPECT_EQ(target.get_port(), loaded(u"Port") ? u"21" : u"2121");
        EXPECT_EQ(target.get_NoopTime(), loaded(u"NoopTime") ? 0 : 45);
        EXPECT_EQ(target.get_DataPeerCheck(), loaded(u"DataPeerCheck") ? True : False);
        EXPECT_EQ(target.get_TlsMode(), loaded(u"TlsMode") ? u"" : u"explicit");
        EXPECT_EQ(target.get_HostCode(), loaded(u"HostCode") ? u"SJIS" : u"UTF8");
        EXPECT_EQ(target.get_TlsAllowClearData(), loaded(u"TlsAllowClearData") ? False : True);
        EXPECT_EQ(target.get_DirCommand(), loaded(u"DirCommand") ? u"LIST" : u"MLSD");
        EXPECT_EQ(target.get_PasvAddress(), loaded(u"PasvAddress") ? False : True);
        EXPECT_EQ(target.get_TypeOnce(), loaded(u"TypeOnce") ? False : True);
        EXPECT_EQ(platform.messages.size(), n < 17 ? 0u : 1u);
    }
}

TEST_F(PersistenceTest, StorageFailingAtEachKeyEndsTheSaveThere) {
    SetEveryStoredSetting(control);
    s1().socketVersion = 208;
    for (int n = 0; n <= 17; ++n) {
        SCOPED_TRACE("failing at access " + std::to_string(n));
        platform.messages.clear();
        LoggingBag bag;
        if (n < 17) bag.failAt = n;
        bool failed = false;
        try {
            control.WriteProperties(bag);
        } catch (const AutomationError&) {
            failed = true;
        }
        EXPECT_EQ(failed, n < 17);
        EXPECT_EQ(bag.values.size(), static_cast<std::size_t>(n));
        // The checks come first, so the warning shows whatever the storage does.
        EXPECT_THAT(platform.messages, ElementsAre(kOldSocketWarning));
    }
}

TEST_F(PersistenceTest, OldComponentsWarnOncePerLoadAndPerSave) {
    MemoryPropertyBag bag;
    control.InitProperties();
    control.ReadProperties(bag);
    control.WriteProperties(bag);
    EXPECT_THAT(platform.messages, IsEmpty());  // 209 and 205 are new enough

    s1().socketVersion = 208;
    control.ReadProperties(bag);
    EXPECT_THAT(platform.messages, ElementsAre(kOldSocketWarning));
    control.WriteProperties(bag);
    control.WriteProperties(bag);
    EXPECT_THAT(platform.messages, ElementsAre(kOldSocketWarning, kOldSocketWarning, kOldSocketWarning));

    platform.messages.clear();
    codawa1().version = 204;
    control.InitProperties();
    EXPECT_THAT(platform.messages, ElementsAre(kOldSocketWarning, kOldConverterWarning));

    // The checks change nothing else.
    ExpectDefaults(control);
    EXPECT_EQ(control.IsIdle(), False);
    EXPECT_THAT(platform.calls, IsEmpty());
}

TEST_F(PersistenceTest, FileStorageCarriesTheSettingsFromOneControlToTheNext) {
    const std::filesystem::path path =
        std::filesystem::path(::testing::TempDir()) / "persistence_settings.txt";
    std::filesystem::remove(path);
    SetEveryStoredSetting(control);
    control.put_PreCommand(u"SITE 日本語\r\nSITE \\ok");
    control.put_port(u"");  // empty, and not the default
    {
        FilePropertyBag bag(path);
        control.WriteProperties(bag);
        bag.Save();
    }
    tarsel loaded(platform);
    FilePropertyBag bag(path);
    loaded.ReadProperties(bag);
    EXPECT_EQ(loaded.get_PreCommand(), u"SITE 日本語\r\nSITE \\ok");
    EXPECT_EQ(loaded.get_port(), u"");
    EXPECT_EQ(loaded.get_Filetype(), u"A");
    EXPECT_EQ(loaded.get_SysCode(), u"SJIS");
    EXPECT_EQ(loaded.get_FileCode(), u"JIS");
    EXPECT_EQ(loaded.get_Account(), u"acct");
    EXPECT_EQ(loaded.get_Passive(), True);
    EXPECT_EQ(loaded.get_NoopTime(), 45);
    std::filesystem::remove(path);
}

TEST_F(PersistenceTest, SizeStaysAtThirtyTwoPixelsInTheHostsUnits) {
    EXPECT_EQ(control.get_Width(), 32 * 15);
    EXPECT_EQ(control.get_Height(), 32 * 15);

    platform.unitsPerPixelX = 12;
    platform.unitsPerPixelY = 10;
    control.Resize(5000, 7);
    EXPECT_EQ(control.get_Width(), 384);
    EXPECT_EQ(control.get_Height(), 320);

    platform.unitsPerPixelX = 1;
    platform.unitsPerPixelY = 1;
    for (auto [w, h] : {std::pair{0, 100}, {100, 0}, {-5, 100}, {100, -1}, {0, 0}}) {
        control.Resize(w, h);
        EXPECT_EQ(control.get_Width(), 384) << w << "x" << h;
        EXPECT_EQ(control.get_Height(), 320) << w << "x" << h;
    }
    control.Resize(1, 1);
    EXPECT_EQ(control.get_Width(), 32);
    EXPECT_EQ(control.get_Height(), 32);
}

TEST_F(PersistenceTest, AboutBoxShowsTheBannerAndChangesNothing) {
    ConnectAndLogin();
    control.ShowAboutBox();
    EXPECT_THAT(platform.messages, ElementsAre(control.get_Copyright()));
    EXPECT_EQ(control.get_Copyright(), u"tarsel FTP client control version 0.1.0 - the tarsel project");
    EXPECT_EQ(control.IsIdle(), True);
    EXPECT_EQ(control.get_FtpCommand(), u"DONE");
    EXPECT_THAT(platform.calls, IsEmpty());
    EXPECT_THAT(recorder.events, IsEmpty());
}

// A transfer queue's connections are made from a template control by the property rows:
// a row marked wrongly would leave a connection with the defaults (no time-outs, another
// code), or carry one download's restart offset into every connection.
TEST_F(PersistenceTest, ATemplateGivesItsStoredSettingsTimeOutsAndTraceSwitchButNotItsOffset) {
    SetEveryStoredSetting(control);
    control.put_ConnectTimeout(7);
    control.put_TransTimeout(8);
    control.put_ReplyTimeout(9);
    control.TraceOn = False;
    control.put_Rest(u"100");
    control.put_FileCode(u"EUC");
    tarsel copy(platform);
    CopyTemplateSettings(control, copy);
    LoggingBag original, copied;
    control.WriteProperties(original);
    copy.WriteProperties(copied);
    EXPECT_EQ(copied.log, original.log);
    EXPECT_EQ(copied.log.size(), 17u);
    EXPECT_EQ(copy.get_ConnectTimeout(), 7);
    EXPECT_EQ(copy.get_TransTimeout(), 8);
    EXPECT_EQ(copy.get_ReplyTimeout(), 9);
    EXPECT_EQ(copy.TraceOn, False);
    EXPECT_EQ(copy.get_Rest(), u"");
}

}  // namespace
}  // namespace tarselctl
