// mx7410-flash with trusted keys: keygen and sign make what update, check and
// the others then require, and a file refused for its signature is refused
// before any port opens.

#include <nlohmann/json.hpp>
#include <tuple>

#include "cli/CliFixture.h"

namespace mx::test {
namespace {

using Json = nlohmann::json;

// A port that cannot be opened: a run that got as far as the port ends with 4, not 3.
constexpr const char* kNoSuchPort = "/nonexistent/ttyMX0";

class Signatures : public Cli {
 protected:
  ChildResult FlashWith(std::vector<std::string> args, std::map<std::string, std::string> env = {}) const {
    ChildLaunch launch = Launch(std::move(args));
    launch.env["XDG_CONFIG_HOME"] = config.Path().string();  // the trusted-keys folder's parent
    for (auto& [name, value] : env) launch.env[name] = value;
    return RunChild(launch);
  }

  // An unprotected key pair in the files folder: "<name>.pub", "<name>.key".
  std::string MakeKeys(const std::string& name) const {
    const std::string pub = (files.Path() / (name + ".pub")).string();
    const ChildResult made = FlashWith({"keygen", "-W", "-p", pub, "-s", (files.Path() / (name + ".key")).string()});
    EXPECT_EQ(made.exitStatus, 0) << made.err;
    return pub;
  }

  ChildResult SignWith(const std::string& name, const std::string& file, const std::string& comment) const {
    return FlashWith({"sign", "--key", (files.Path() / (name + ".key")).string(), file, "-t", comment});
  }

  TempDir config;
};

// The JSON end and the board's record name the key and the trusted comment.
TEST_F(Signatures, ASignedFileIsWrittenAndItsEndNamesTheKeyAndComment) {
  const std::string pub = MakeKeys("release");
  Device device;
  const std::string file = WriteImage(SampleImage(320, 0x0001));
  ASSERT_EQ(SignWith("release", file, "v1.2 \xE9t\xE9").exitStatus, 0);  // Latin-1: not UTF-8

  const std::string db = (files.Path() / "boards.db").string();
  const ChildResult run = FlashWith({"--trust", pub, "--json", "--port", device.Port(), "--db", db, "update", file});
  ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
  std::string why;
  EXPECT_TRUE(device.sim.MatchesHexFile(file, &why)) << why;
  Json end;
  for (const std::string& line : Lines(run.out)) {
    if (Json object = Json::parse(line); object.at("event") == "end") end = object;
  }
  const std::string keyLine = ReadFile(pub).substr(0, ReadFile(pub).find('\n'));
  EXPECT_EQ("untrusted comment: minisign public key " + end.at("key_id").get<std::string>(), keyLine);
  EXPECT_EQ(end.at("trusted_comment"), "v1.2 \xEF\xBF\xBDt\xEF\xBF\xBD");  // U+FFFD for each byte JSON cannot take

  const ChildResult records = FlashWith({"records", "--db", db, "--json"});
  ASSERT_EQ(records.exitStatus, 0) << records.err;
  const std::vector<std::string> rows = Lines(records.out);
  ASSERT_EQ(rows.size(), 1u) << records.out;
  const Json row = Json::parse(rows[0]);
  EXPECT_EQ(std::tie(row.at("key_id"), row.at("trusted_comment")),
            std::tie(end.at("key_id"), end.at("trusted_comment")));
}

// Names of files are bytes; the JSON lines carry them, with U+FFFD where not UTF-8.
TEST_F(Cli, JsonLinesTakeAFileNameThatIsNotUtf8) {
  const std::string file = WriteImage(SampleImage(64, 0), "image-\xE9.hex");
  for (const std::string command : {"check", "update"}) {
    const ChildResult run = Flash({"--json", "--port", kNoSuchPort, command, file});
    EXPECT_EQ(run.exitStatus, command == "check" ? 0 : 4) << run.err;
    for (const std::string& line : Lines(run.out)) {
      const Json object = Json::parse(line);
      if (object.contains("file")) {
        EXPECT_TRUE(Contains(object.at("file"), "image-\xEF\xBF\xBD.hex")) << line;
      }
    }
  }
}

TEST_F(Signatures, EachRefusalIsNamedAndComesBeforeAnyPort) {
  const std::string trusted = MakeKeys("release");
  MakeKeys("other");
  const std::string file = WriteImage(SampleImage(64, 0));
  auto update = [&] { return FlashWith({"--trust", trusted, "--port", kNoSuchPort, "update", file}); };

  ChildResult run = update();
  EXPECT_EQ(run.exitStatus, 3) << run.out << run.err;
  EXPECT_TRUE(Contains(run.out, "No signature: the file must be signed by a trusted key")) << run.out;

  ASSERT_EQ(SignWith("other", file, "tc").exitStatus, 0);
  run = update();
  EXPECT_EQ(run.exitStatus, 3);
  EXPECT_TRUE(Contains(run.out, "which is not a trusted key")) << run.out;

  ASSERT_EQ(SignWith("release", file, "v1").exitStatus, 0);
  const std::string signature = ReadFile(file + ".minisig");
  files.Write("image.hex.minisig", std::string(signature).replace(signature.find("v1\n"), 2, "v2"));
  run = update();
  EXPECT_EQ(run.exitStatus, 3);
  EXPECT_TRUE(Contains(run.out, "the trusted comment does not match")) << run.out;

  files.Write("image.hex.minisig", signature);
  const std::string image = ReadFile(file);
  files.Write("image.hex", std::string(image).replace(image.find(":10"), 3, ":1O"));
  run = update();
  EXPECT_EQ(run.exitStatus, 3);
  EXPECT_TRUE(Contains(run.out, "the file does not match its signature")) << run.out;

  files.Write("image.hex", image);  // as signed: now only the port is missing
  EXPECT_EQ(update().exitStatus, 4);
}

TEST_F(Signatures, AKeyInTheConfigFolderMakesCheckRequireASignature) {
  const std::string pub = MakeKeys("release");
  const std::string file = WriteImage(SampleImage(64, 0));
  EXPECT_EQ(FlashWith({"check", file}).exitStatus, 0);

  fs::create_directories(config.Path() / "mx7410" / "trusted-keys");
  fs::copy_file(pub, config.Path() / "mx7410" / "trusted-keys" / "release.pub");
  ChildResult check = FlashWith({"--json", "check", file});
  EXPECT_EQ(check.exitStatus, 3);
  EXPECT_TRUE(Contains(Json::parse(check.out).at("messages")[0], "No signature")) << check.out;

  ASSERT_EQ(SignWith("release", file, "batch 7").exitStatus, 0);
  check = FlashWith({"--json", "check", file});
  EXPECT_EQ(check.exitStatus, 0) << check.out;
  EXPECT_EQ(Json::parse(check.out).at("trusted_comment"), "batch 7");

  files.Write("broken.pub", "untrusted comment: x\nnot base64\n");
  fs::copy_file(files.Path() / "broken.pub", config.Path() / "mx7410" / "trusted-keys" / "broken.pub");
  check = FlashWith({"check", file});
  EXPECT_EQ(check.exitStatus, 2);
  EXPECT_TRUE(Contains(check.err, "broken.pub: public key: the second line is not the base64")) << check.err;
}

TEST_F(Signatures, KeyCommandsRefuseWhatWouldLoseOrMisuseAKey) {
  const std::string pub = MakeKeys("release");
  const ChildResult again = FlashWith({"keygen", "-W", "-p", pub, "-s", (files.Path() / "new.key").string()});
  EXPECT_EQ(again.exitStatus, 2);
  EXPECT_TRUE(Contains(again.err, "exists already")) << again.err;
  EXPECT_FALSE(fs::exists(files.Path() / "new.key"));

  const std::string file = WriteImage(SampleImage(64, 0));
  EXPECT_EQ(FlashWith({"sign", file}).exitStatus, 2);
  EXPECT_EQ(FlashWith({"-W", "sign", "--key", pub, file}).exitStatus, 2);
  const ChildResult wrongKind = FlashWith({"sign", "--key", pub, file});
  EXPECT_EQ(wrongKind.exitStatus, 3);
  EXPECT_TRUE(Contains(wrongKind.err, "secret key: the second line is not the base64")) << wrongKind.err;
  EXPECT_EQ(FlashWith({"keygen", "-p", (files.Path() / "x.pub").string(), "-s", (files.Path() / "x.key").string()})
                .exitStatus,
            2);  // a password is wanted and there is no terminal to ask on
  EXPECT_EQ((fs::status(files.Path() / "release.key").permissions() & fs::perms::all),
            fs::perms::owner_read | fs::perms::owner_write);
}

// The one test with scrypt's full cost (about a second and 1 GiB each time).
TEST_F(Signatures, APasswordProtectedKeySignsWithItsPassword) {
  files.Write("password", "correct horse\n");
  const ChildResult made = FlashWith({"keygen", "--password-file", (files.Path() / "password").string(), "-p",
                                      (files.Path() / "p.pub").string(), "-s", (files.Path() / "p.key").string()});
  ASSERT_EQ(made.exitStatus, 0) << made.err;
  EXPECT_TRUE(Contains(ReadFile(files.Path() / "p.key"), "encrypted secret key"));
  const std::string file = WriteImage(SampleImage(64, 0));
  const ChildResult signedRun = FlashWith({"sign", "--key", (files.Path() / "p.key").string(), file, "-t", "tc"},
                                          {{"MX7410_KEY_PASSWORD", "correct horse"}});
  ASSERT_EQ(signedRun.exitStatus, 0) << signedRun.err;
  EXPECT_EQ(FlashWith({"--trust", (files.Path() / "p.pub").string(), "check", file}).exitStatus, 0);
}

}  // namespace
}  // namespace mx::test
