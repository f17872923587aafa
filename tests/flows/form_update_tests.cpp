// The Update button end to end: file dialog, reading, erase, blocks, end
// frame and the endings, against the simulated bootloader.

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "flows/FlowFixture.h"

namespace mx::test {
namespace {

using namespace std::chrono_literals;

const std::string kFinish = "Finish Update";

// One expected write frame: device address and number of data bytes.
struct Block {
  std::uint32_t address;
  std::size_t length;
};

std::uint32_t FrameAddress(const sim::ReceivedFrame& frame) {
  return frame.body[2] | (frame.body[3] << 8) | (frame.body[4] << 16);
}

// LEN says 0xFF for a full block, else the byte count.
std::size_t FrameLength(const sim::ReceivedFrame& frame) { return frame.body[1] == 0xFF ? 256 : frame.body[1]; }

std::vector<std::uint8_t> SpecialBytes(std::size_t count) {
  // Frame marks, escape, XON/XOFF characters of both settings, and more.
  static constexpr std::uint8_t kCycle[] = {0x04, 0x05, 0x55, 0x7D, 0x7E, 0x11, 0x13, 0x00, 0xFF, 0x72, 0x55, 0x55};
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = kCycle[i % std::size(kCycle)];
  return bytes;
}

struct Shape {
  const char* name;
  std::string text;
  std::vector<Block> blocks;
};

void PrintTo(const Shape& shape, std::ostream* out) { *out << shape.name; }

std::vector<Shape> Shapes() {
  return {
      {"WholeBlocks", HexImage().Bytes(0, Pattern(512)).End().Text(), {{0x000, 256}, {0x100, 256}}},
      {"PartialLastBlock", HexImage().Bytes(0, Pattern(600)).End().Text(), {{0x000, 256}, {0x100, 256}, {0x200, 88}}},
      {"ExtendedAddressZero",
       HexImage().Upper(0).Bytes(0x100, Pattern(300, 3)).End().Text(),
       {{0x100, 256}, {0x200, 44}}},
      {"UpperWordChangesMidFile",
       HexImage().Upper(0).Bytes(0xFF00, Pattern(456, 9)).End().Text(),
       {{0x00FF00, 256}, {0x010000, 200}}},
      {"FrameAndFlowBytesInData", HexImage().Bytes(0, SpecialBytes(300)).End().Text(), {{0x000, 256}, {0x100, 44}}},
      {"SingleRecord", HexImage().Data(0, Pattern(10)).End().Text(), {{0x000, 10}}},
      // 255 bytes would take the length byte FF, which says 256.
      {"LastBlockOf255Bytes", HexImage().Bytes(0, Pattern(511)).End().Text(), {{0x000, 256}, {0x100, 254}, {0x1FE, 1}}},
      {"ShortRecordThenGap",
       HexImage().Data(0x00, Pattern(16)).Data(0x10, Pattern(8, 1)).Data(0x20, Pattern(16, 2)).End().Text(),
       {{0x000, 24}, {0x020, 16}}},
      {"LastRecordCrossesABlockEnd",
       HexImage().Bytes(0, Pattern(240)).Data(0xF0, Pattern(32, 5)).End().Text(),
       {{0x000, 256}, {0x100, 16}}},
  };
}

class UpdateShapes : public FlowTest, public ::testing::WithParamInterface<Shape> {};

TEST_P(UpdateShapes, DeviceMemoryEqualsTheFile) {
  const Shape& shape = GetParam();
  StartDevice();
  Connect();
  const std::string path = WriteHex("image.hex", shape.text);
  Update(path);

  EXPECT_TRUE(MessageShown(kFinish)) << Messages();
  std::string why;
  EXPECT_TRUE(device->MatchesHexFile(path, &why)) << why;
  EXPECT_EQ(form->LastOutcome().result, ActionResult::Success);
  EXPECT_FALSE(form->ImageHeld());
  EXPECT_FALSE(form->FConnected());
  EXPECT_TRUE(form->State(Control::Button_Open).enabled);

  const auto writes = WriteFrames(device->Frames());
  ASSERT_EQ(writes.size(), shape.blocks.size());
  for (std::size_t i = 0; i < writes.size(); ++i) {
    EXPECT_EQ(FrameAddress(writes[i]), shape.blocks[i].address) << "block " << i;
    EXPECT_EQ(FrameLength(writes[i]), shape.blocks[i].length) << "block " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Files, UpdateShapes, ::testing::ValuesIn(Shapes()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlowTest, SuccessSendsEndFrameAndVersionRequestBeforeClosing) {
  StartDevice();
  Connect();
  Update(WriteHex("image.hex", HexImage().Bytes(0, Pattern(300)).End().Text()));
  ASSERT_TRUE(MessageShown(kFinish)) << Messages();

  // "re", version request, erase, two blocks, end frame, version request.
  ASSERT_TRUE(device->WaitForFrames(7, 2s)) << "the last frames were lost at close";
  const auto frames = device->Frames();
  EXPECT_TRUE(IsFrame(frames[frames.size() - 2], kEndFrame));
  EXPECT_TRUE(IsFrame(frames.back(), kVersionFrame));
  EXPECT_TRUE(
      std::regex_match(Caption(Control::Label11), std::regex(R"(Finish Update! (0|[1-9]\d*)(\.\d*[1-9])?Sec\.)")))
      << Caption(Control::Label11);
  EXPECT_EQ(Caption(Control::LabelTimeout), "");
  EXPECT_EQ(Caption(Control::Label7), "");
  EXPECT_FALSE(form->State(Control::Animate1).visible);
  EXPECT_FALSE(form->Flags().updating);
  EXPECT_EQ(form->Controls().ProgressPosition(), form->Controls().ProgressMax());
}

TEST_F(FlowTest, PercentFollowsTheDataRecords) {
  StartDevice();
  Connect();
  std::vector<std::string> percents;
  view.onControlChanged = [&](Control control) {
    if (control == Control::Label_Percent) percents.push_back(Caption(control));
  };
  Update(WriteHex("thirty.hex", HexImage().Bytes(0, Pattern(30 * 16)).End().Text()));

  ASSERT_EQ(percents.size(), 30u);
  EXPECT_EQ(percents.front(), "3%");
  EXPECT_EQ(percents[14], "50%");
  EXPECT_EQ(percents.back(), "100%");
  EXPECT_EQ(form->Controls().ProgressMax(), 30);
}

TEST_F(FlowTest, RefusedBlockAndEraseAreSentAgainUnchanged) {
  sim::SimOptions options;
  options.refuseBlock = {{2, 1}};
  options.refuseErase = 2;
  StartDevice(options);
  Connect();
  const std::string path = WriteHex("image.hex", HexImage().Bytes(0, Pattern(600)).End().Text());
  Update(path);

  ASSERT_TRUE(MessageShown(kFinish)) << Messages();
  std::string why;
  EXPECT_TRUE(device->MatchesHexFile(path, &why)) << why;
  const auto frames = device->Frames();
  EXPECT_EQ(std::count_if(frames.begin(), frames.end(), [](const auto& f) { return IsFrame(f, kEraseFrame); }), 3);
  const auto writes = WriteFrames(frames);
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[1].raw, writes[2].raw);
  EXPECT_NE(writes[2].raw, writes[3].raw);
}

TEST_F(FlowTest, DroppedReplyStopsTheRunAndACodeClickSendsTheImageAgain) {
  sim::SimOptions options;
  options.dropReplyToBlock = 2;
  StartDevice(options);
  Connect();
  const std::string path = WriteHex("image.hex", HexImage().Bytes(0, Pattern(700)).End().Text());
  Update(path);

  EXPECT_EQ(Caption(Control::LabelTimeout), "Time Out!");
  EXPECT_EQ(Caption(Control::Label7), "Program Stop Update!");
  EXPECT_EQ(ReplyWord(form->LastReply()), "QUIT");
  EXPECT_EQ(form->LastOutcome().result, ActionResult::DeviceFailed);
  EXPECT_TRUE(form->ImageHeld());
  EXPECT_FALSE(form->Flags().updating);
  EXPECT_FALSE(MessageShown(kFinish));
  EXPECT_FALSE(form->State(Control::BtnFileOpen).enabled);
  EXPECT_TRUE(form->State(Control::Button_Open).enabled) << "a click disconnects, the next connects";

  // Nothing follows the block that went unanswered.
  const std::size_t received = device->Frames().size();
  EXPECT_FALSE(device->WaitForFrames(received + 1, 300ms));
  const auto frames = device->Frames();
  const auto writes = WriteFrames(frames);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(frames.back().raw, writes.back().raw);

  form->ClickInCode(Control::BtnFileOpen);
  EXPECT_EQ(view.fileFilters.size(), 1u);  // no new dialog
  EXPECT_TRUE(MessageShown(kFinish)) << Messages();
  std::string why;
  EXPECT_TRUE(device->MatchesHexFile(path, &why)) << why;
}

TEST_F(FlowTest, VanishingPortEndsTheWaitWithOneMessageAndTheDisconnectedState) {
  sim::SimOptions options;
  options.hangUpAfterBlock = 1;
  StartDevice(options);
  form->SetTextByUser(Control::ComboBoxwWait, "30");  // a time-out would be noticed
  Connect();
  Update(WriteHex("image.hex", HexImage().Bytes(0, Pattern(1024)).End().Text()));

  EXPECT_EQ(view.messages, std::vector<std::string>{"Serial port lost, Mx7410 disconnected!"});
  EXPECT_TRUE(form->Session().Lost());
  EXPECT_FALSE(form->FConnected());
  EXPECT_FALSE(form->Comm1().IsOpen());
  EXPECT_EQ(Caption(Control::Button_Open), "Connect");
  EXPECT_TRUE(form->State(Control::Button_Open).enabled);
  EXPECT_FALSE(form->State(Control::BtnFileOpen).enabled);
  EXPECT_NE(Caption(Control::LabelTimeout), "Time Out!");
  EXPECT_EQ(Caption(Control::Label7), "Program Stop Update!");
  EXPECT_EQ(form->LastOutcome().result, ActionResult::DeviceFailed);
  EXPECT_FALSE(form->Flags().updating);
  EXPECT_TRUE(form->ImageHeld());
}

TEST_F(FlowTest, FileWithoutDataRecordsErasesAndEndsWithoutCompletion) {
  StartDevice();
  Connect();
  Update(WriteHex("empty.hex", HexImage().End().Text()));

  const auto frames = FramesAfterWaitingFor(4);  // "re", version, erase, end
  const auto erase = FindFrame(frames, kEraseFrame);
  ASSERT_TRUE(erase.has_value());
  EXPECT_TRUE(FindFrame(frames, kEndFrame, *erase + 1).has_value());
  EXPECT_TRUE(WriteFrames(frames).empty());
  EXPECT_FALSE(MessageShown(kFinish));
  EXPECT_EQ(ReplyWord(form->LastReply()), "EraseOK");
  EXPECT_TRUE(form->FConnected());
  EXPECT_EQ(Caption(Control::LabelTimeout), "");
  EXPECT_EQ(Caption(Control::Label7), "");
  EXPECT_FALSE(form->ImageHeld());
  EXPECT_FALSE(form->Flags().updating);
  EXPECT_EQ(form->LastOutcome().closingLines, std::vector<std::string>{"Mx7410 erased; the file holds no data."});
  EXPECT_EQ(form->LastOutcome().result, ActionResult::Success);
}

TEST_F(FlowTest, RefusedFileSendsNothing) {
  StartDevice();
  Connect();
  const std::size_t received = device->Frames().size();
  std::string text = HexImage().Bytes(0, Pattern(32)).End().Text();
  text[10] = text[10] == '0' ? '1' : '0';  // first data byte: checksum no longer adds up
  Update(WriteHex("bad.hex", text));

  EXPECT_EQ(view.messages, std::vector<std::string>{"File import failure : Checksum error."});
  EXPECT_EQ(view.beeps, 0);
  EXPECT_EQ(Caption(Control::Label11), "Update FileName:bad.hex");
  EXPECT_EQ(Caption(Control::LabelTimeout), "Hex File Openning...");
  EXPECT_EQ(Caption(Control::Label7), "3");
  EXPECT_TRUE(form->State(Control::BtnFileOpen).enabled);
  EXPECT_FALSE(form->State(Control::Button_Send).enabled);
  EXPECT_FALSE(form->State(Control::BtnRestore).enabled);
  EXPECT_FALSE(form->ImageHeld());
  EXPECT_EQ(form->LastOutcome().result, ActionResult::FileRefused);
  EXPECT_FALSE(device->WaitForFrames(received + 1, 300ms));
  EXPECT_EQ(device->EraseCount(), 0);
}

TEST_F(FlowTest, AddressFaultsAreListedInTheMemo) {
  StartDevice();
  Connect();
  Update(WriteHex("wide.hex", HexImage().Data(0x00, Pattern(32)).Data(0x20, Pattern(32)).End().Text()));

  EXPECT_EQ(view.messages, std::vector<std::string>{"File import failure : Address inconsistency."});
  EXPECT_NE(form->Controls().MemoText().find("-65504 - -65536\r\n"), std::string::npos) << form->Controls().MemoText();
}

TEST_F(FlowTest, FileThatCannotBeOpenedIsStoredThenReported) {
  StartDevice();
  Connect();
  const std::string path = (dir.Path() / "missing.hex").string();
  Update(path);

  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].rfind("Cannot open file \"" + path + "\". ", 0), 0u) << view.messages[0];
  EXPECT_EQ(view.beeps, 1);
  EXPECT_NE(SettingsText().find("Filename=" + path), std::string::npos) << SettingsText();
  EXPECT_TRUE(form->State(Control::BtnFileOpen).enabled);
  EXPECT_FALSE(form->State(Control::Button_Send).enabled);
  EXPECT_EQ(form->LastOutcome().result, ActionResult::FileRefused);
}

TEST_F(FlowTest, SettingsThatCannotBeWrittenStopTheRun) {
  StartDevice();
  Connect();
  const std::size_t received = device->Frames().size();
  std::filesystem::remove(dir.Path() / "Comport.ini");
  std::filesystem::create_directory(dir.Path() / "Comport.ini");  // no file can be written there
  Update(WriteHex("image.hex", HexImage().Bytes(0, Pattern(40)).End().Text()));

  EXPECT_EQ(view.messages, std::vector<std::string>{"Unable to write to " + form->SettingsPath()});
  EXPECT_EQ(view.beeps, 1);
  EXPECT_TRUE(form->State(Control::BtnFileOpen).enabled);
  EXPECT_FALSE(form->State(Control::Button_Send).enabled);
  EXPECT_FALSE(form->ImageHeld());
  EXPECT_FALSE(device->WaitForFrames(received + 1, 200ms));
}

TEST_F(FlowTest, DialogFilterComesFromTheDeviceVersionAndCancelChangesNothing) {
  StartDevice();
  Connect();
  const std::size_t received = device->Frames().size();
  const std::string label11 = Caption(Control::Label11);
  form->Click(Control::BtnFileOpen);  // no answer queued: cancelled

  EXPECT_EQ(view.fileFilters, std::vector<std::string>{"hex Files|*U0102.03*.hex|All Files|*.*"});
  EXPECT_EQ(SettingsText().find("Filename"), std::string::npos);
  EXPECT_TRUE(form->State(Control::BtnFileOpen).enabled);
  EXPECT_TRUE(form->State(Control::BtnRestore).enabled);
  EXPECT_EQ(Caption(Control::Label11), label11);
  EXPECT_FALSE(device->WaitForFrames(received + 1, 200ms));
}

TEST_F(FlowTest, ChosenFileIsStoredUnderFilename) {
  StartDevice();
  Connect();
  const std::string path = WriteHex("image.hex", HexImage().Bytes(0, Pattern(40)).End().Text());
  Update(path);
  EXPECT_NE(SettingsText().find("Filename=" + path), std::string::npos) << SettingsText();
}

TEST_F(FlowTest, CodeClickWithoutImageOnlyEmptiesTheFileLabel) {
  StartDevice();
  Connect();
  Update(WriteHex("bad.hex", ":0000000000\r\n"));  // refused: no end record
  ASSERT_EQ(Caption(Control::Label11), "Update FileName:bad.hex");
  form->Click(Control::Button_Open);  // disconnect: Update disabled
  ASSERT_FALSE(form->State(Control::BtnFileOpen).enabled);
  const std::size_t received = device->Frames().size();

  form->ClickInCode(Control::BtnFileOpen);
  EXPECT_EQ(Caption(Control::Label11), "");
  EXPECT_EQ(view.fileFilters.size(), 1u);
  EXPECT_EQ(device->Frames().size(), received);
}

TEST_F(FlowTest, CodeReportQueuesEveryFrameAndClaimsNoSuccess) {
  StartDevice();
  form->SetCheckedByUser(Control::TestData_CB, true);  // opens the port, no handshake
  ASSERT_TRUE(form->FConnected());
  Update(WriteHex("image.hex", HexImage().Bytes(0, Pattern(600)).End().Text()));

  const auto frames = FramesAfterWaitingFor(4);
  EXPECT_FALSE(FindFrame(frames, kEraseFrame).has_value());
  EXPECT_EQ(WriteFrames(frames).size(), 3u);
  EXPECT_TRUE(IsFrame(frames.back(), kEndFrame));
  EXPECT_FALSE(MessageShown(kFinish));
  EXPECT_EQ(Caption(Control::LabelTimeout), "TEST DATA");
  EXPECT_EQ(Caption(Control::Label11), "TEST DATA sent, not verified");
  EXPECT_FALSE(form->State(Control::Animate1).visible);
  EXPECT_TRUE(form->FConnected());
  EXPECT_TRUE(form->State(Control::Button_Open).enabled);
  EXPECT_FALSE(form->Flags().updating);
  EXPECT_NE(form->LastOutcome().result, ActionResult::Success);
}

TEST(LastPathComponent, TakesTheTextAfterTheLastSeparator) {
  const std::pair<std::string, std::string> cases[] = {
      {"C:\\fw\\MxU0102.03.hex", "MxU0102.03.hex"},
      {"/home/user/fw/image.hex", "image.hex"},
      {"C:\\mixed/dir\\last", "last"},
      {"image.hex", "image.hex"},
      {"C:\\fw\\", ""},
      {"/tmp/", ""},
      {"", ""},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(LastPathComponent(path), expected) << path;
}

}  // namespace
}  // namespace mx::test
