// Golden traces of the window's click chains against the simulated
// bootloader on a real pseudo-terminal. Each chain's trace is compared line
// by line with golden/<Chain>_<language>.txt; to rewrite the files after an
// intended change, run
//     MX_WRITE_GOLDENS=1 build/tests/flows/flow_golden_tests
// and review the diff.
//
// A trace has two streams, each in its own order, because the moment a
// chunk from the device is handled relative to the window's own changes
// depends on the scheduler:
//   [window]  the clicks made ("> click", "> code click"), control changes
//             (name, attribute, new value; only what differs from what was
//             last shown), memo lines and resets, progress, message boxes,
//             confirmations and file dialogs with their answers, beeps.
//   [device]  every piece the device received ("host>"), each followed by
//             what the device decided to answer to it ("dev<"), whether or
//             not the host was still listening.
// In "Code Report" the memo shows raw chunks as they happen to arrive; their
// bytes are joined in a third stream, [raw display], instead.
// Masked: the temporary directory ("<dir>") and the port path ("<port>");
// the seconds in "...! 1.25Sec." ("<seconds>"); the Update Wizard's seconds
// counter in Label1 is left out.

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "flows/FlowFixture.h"
#include "support/GoldenFile.h"

namespace mx::test {
namespace {

using namespace std::chrono_literals;

// A frame no host sends: written behind the chain, its arrival says that
// everything before it has arrived.
const std::vector<std::uint8_t> kSentinel{0x55, 0x55, 0x0F, 0xF1, 0x04};

std::string HexLine(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (const std::uint8_t byte : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

std::string Escaped(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\r')
      escaped += "\\r";
    else if (c == '\n')
      escaped += "\\n";
    else
      escaped += c;
  }
  return escaped;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

class GoldenTrace : public FlowTest {
 public:
  // Starts the device and the form, and records from then on.
  void Start(sim::SimOptions options = {}, bool showMessages = true) {
    StartDevice(options, showMessages);
    for (int i = 0; i < static_cast<int>(Control::Count); ++i) {
      shown_[static_cast<Control>(i)] = form->State(static_cast<Control>(i));
    }
    view.onControlChanged = [this](Control control) { RecordControl(control); };
    view.onShown = [this](std::string_view kind, std::string_view detail) { RecordShown(kind, detail); };
  }

  void Click(Control control) {
    Note("> click " + std::string(ControlName(control)));
    form->Click(control);
  }
  void ClickInCode(Control control) {
    Note("> code click " + std::string(ControlName(control)));
    form->ClickInCode(control);
  }
  void ChooseInDialog(const std::string& name, const std::string& text) {
    view.fileAnswers.push_back(WriteHex(name, text));
  }
  void AnswerNextConfirmation(bool yes) { view.confirmAnswers.push_back(yes); }
  void SetWaitSeconds(const std::string& text) {
    Note("> edit ComboBoxwWait \"" + text + "\"");
    form->SetTextByUser(Control::ComboBoxwWait, text);
  }
  // Checking "Code Report" opens the port.
  void CheckCodeReport() {
    Note("> check TestData_CB");
    codeReport_ = true;
    form->SetCheckedByUser(Control::TestData_CB, true);
  }
  // The device is switched on as soon as the Update Wizard says it waits.
  void PowerOnWhenTheWizardWaits() {
    onWaitingForPowerOn_ = [this] { device->PowerOn(); };
  }

  // Stops recording, lets everything the host sent arrive, and compares.
  void ExpectGoldenTrace() {
    view.onControlChanged = nullptr;
    view.onShown = nullptr;
    if (codeReport_) WaitForRawDisplay();
    const std::string trace = Trace();
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const std::string file = name.substr(name.find('/') + 1) + ".txt";
    ExpectMatchesGolden(std::filesystem::path(MX_GOLDEN_DIR) / file, trace);
  }

 private:
  std::string Masked(std::string line) const {
    ReplaceAll(line, dir.Path().string(), "<dir>");
    ReplaceAll(line, device->PortPath(), "<port>");
    static const std::regex kSeconds(R"(! [0-9.e+-]+Sec\.)");
    return std::regex_replace(line, kSeconds, "! <seconds>Sec.");
  }
  void Note(const std::string& line) { window_.push_back(Masked(line)); }

  void RecordControl(Control control) {
    const ControlState& now = form->State(control);
    ControlState& was = shown_[control];
    const std::string name(ControlName(control));
    if (control == Control::Label1 && now.caption.rfind(form->Texts().WaitPowerText + ":", 0) == 0) return;
    if (now.caption != was.caption) Note(name + " caption \"" + Escaped(now.caption) + "\"");
    if (now.enabled != was.enabled) Note(name + " enabled " + (now.enabled ? "1" : "0"));
    if (now.visible != was.visible) Note(name + " visible " + (now.visible ? "1" : "0"));
    if (now.checked != was.checked) Note(name + " checked " + (now.checked ? "1" : "0"));
    was = now;
  }

  void RecordShown(std::string_view kind, std::string_view detail) {
    if (kind == "memo=") return RecordMemoReset();
    if (kind == "progress") {
      const FormControls& controls = form->Controls();
      return Note("progress " + std::to_string(controls.ProgressPosition()) + "/" +
                  std::to_string(controls.ProgressMax()));
    }
    Note(std::string(kind) + (detail.empty() ? "" : " \"" + Escaped(detail) + "\""));
  }

  void RecordMemoReset() {
    const std::string& text = form->Controls().MemoText();
    if (codeReport_ && !text.empty()) {
      raw_ += (raw_.empty() ? "" : ",") + text;
      return;
    }
    Note("memo= \"" + Escaped(text) + "\"");
    if (onWaitingForPowerOn_ && text == form->Texts().WaitPowerText + "\r\n") onWaitingForPowerOn_();
  }

  // "Code Report" shows each reply as it comes. Its update ends with the end
  // frame: once the device has that, it has answered all; wait until the
  // memo has shown it all.
  void WaitForRawDisplay() {
    for (auto frames = device->Frames(); !FindFrame(frames, kEndFrame); frames = device->Frames()) {
      if (!device->WaitForFrames(frames.size() + 1, 5s)) return ADD_FAILURE() << "no end frame";
    }
    std::vector<std::uint8_t> answered;
    for (const sim::DeviceAnswer& answer : device->Answers()) {
      answered.insert(answered.end(), answer.bytes.begin(), answer.bytes.end());
    }
    std::string expected;
    for (const std::uint8_t byte : answered) expected += (expected.empty() ? "" : ",") + std::to_string(byte);
    view.onShown = [this](std::string_view kind, std::string_view) {
      if (kind == "memo=") RecordMemoReset();
    };
    const auto deadline = Clock::now() + 5s;
    while (raw_.size() < expected.size() && Clock::now() < deadline) {
      loop.WaitForEvents(deadline);
      loop.ProcessPendingEvents();
    }
    view.onShown = nullptr;
  }

  // Everything the host sent has reached the device once the sentinel,
  // written after the host has closed the port, has.
  std::vector<sim::ReceivedFrame> SettledFrames() {
    if (device->HungUp()) return device->Frames();
    if (form->Comm1().IsOpen()) form->SetConnectState(false);
    const int fd = ::open(device->PortPath().c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(fd, 0) << "cannot open " << device->PortPath();
    if (fd < 0) return device->Frames();
    termios raw{};
    ::tcgetattr(fd, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(fd, TCSANOW, &raw);
    EXPECT_EQ(::write(fd, kSentinel.data(), kSentinel.size()), static_cast<ssize_t>(kSentinel.size()));
    std::vector<sim::ReceivedFrame> frames = device->Frames();
    while (!FindFrame(frames, kSentinel)) {
      if (!device->WaitForFrames(frames.size() + 1, 5s)) break;
      frames = device->Frames();
    }
    ::close(fd);
    const auto sentinel = FindFrame(frames, kSentinel);
    EXPECT_TRUE(sentinel.has_value()) << "the device never received what the host sent last";
    if (sentinel) frames.resize(*sentinel);
    return frames;
  }

  std::string Trace() {
    std::ostringstream out;
    out << "[window]\n";
    for (const std::string& line : window_) out << line << "\n";
    if (codeReport_) out << "[raw display]\n" << raw_ << "\n";
    out << "[device]\n";
    const std::vector<sim::ReceivedFrame> frames = SettledFrames();
    const std::vector<sim::DeviceAnswer> answers = device->Answers();
    const auto answersAfter = [&](std::size_t received) {
      for (const sim::DeviceAnswer& answer : answers) {
        if (answer.framesBefore == received)
          out << "dev<  " << answer.what << (answer.bytes.empty() ? "" : " | " + HexLine(answer.bytes)) << "\n";
      }
    };
    answersAfter(0);
    for (std::size_t i = 0; i < frames.size(); ++i) {
      const sim::ReceivedFrame& frame = frames[i];
      const char* note = frame.body.empty() ? " (text)" : frame.checksumOk ? "" : " (bad checksum)";
      out << "host> " << HexLine(frame.raw) << note << "\n";
      answersAfter(i + 1);
    }
    return out.str();
  }

  std::function<void()> onWaitingForPowerOn_;
  bool codeReport_ = false;
  std::map<Control, ControlState> shown_;
  std::vector<std::string> window_;
  std::string raw_;
};

// ---- The chains -------------------------------------------------------------

const std::string kImage = HexImage().Bytes(0, Pattern(300)).End().Text();

using Chain = std::function<void(GoldenTrace&)>;

struct ChainCase {
  std::string name;
  std::string language;
  Chain run;
};

void PrintTo(const ChainCase& c, std::ostream* out) { *out << c.name << "_" << c.language; }

class Chains : public GoldenTrace, public ::testing::WithParamInterface<ChainCase> {};

TEST_P(Chains, MatchTheirGoldenTrace) {
  language = GetParam().language;
  GetParam().run(*this);
  ExpectGoldenTrace();
}

sim::SimOptions With(const std::function<void(sim::SimOptions&)>& change) {
  sim::SimOptions options;
  change(options);
  return options;
}

void ConnectAndUpdate(GoldenTrace& t, const std::string& image = kImage) {
  t.Click(Control::Button_Open);
  t.ChooseInDialog("image.hex", image);
  t.Click(Control::BtnFileOpen);
}

const std::map<std::string, Chain>& AllChains() {
  static const std::map<std::string, Chain> chains{
      {"ConnectSucceeds",
       [](GoldenTrace& c) {
         c.Start();
         c.Click(Control::Button_Open);
       }},
      {"ConnectNotAnswered",
       [](GoldenTrace& c) {
         c.Start(With([](sim::SimOptions& o) { o.silent = true; }));
         c.Click(Control::Button_Open);
       }},
      {"ConnectGreetsAgainOnTheRestartPattern",
       [](GoldenTrace& c) {
         c.Start(With([](sim::SimOptions& o) { o.doubleVersionReplies = 1; }));
         c.Click(Control::Button_Open);
       }},
      {"ConnectGivesUpAtTheRestartBound",
       [](GoldenTrace& c) {
         c.Start(With([](sim::SimOptions& o) { o.doubleVersionReplies = UpdaterForm::kMaxHandshakeRestarts + 2; }));
         c.Click(Control::Button_Open);
       }},
      {"DisconnectByTheConnectButton",
       [](GoldenTrace& c) {
         c.Start();
         c.Click(Control::Button_Open);
         c.Click(Control::Button_Open);
       }},
      {"DisconnectByThePopupEntry",
       [](GoldenTrace& c) {
         c.Start();
         c.Click(Control::Button_Open);
         c.Click(Control::DisConnect1);
       }},
      {"UpdateWritesTheImage",
       [](GoldenTrace& c) {
         c.Start();
         ConnectAndUpdate(c);
       }},
      {"UpdateRefusesABrokenFile",
       [](GoldenTrace& c) {
         c.Start();
         ConnectAndUpdate(c, HexImage().Data(0, Pattern(16)).Line(":10001000FFFF").End().Text());
       }},
      {"UpdateOfAFileWithoutData",
       [](GoldenTrace& c) {
         c.Start();
         ConnectAndUpdate(c, HexImage().End().Text());
       }},
      {"UpdateTimesOutMidTransfer",
       [](GoldenTrace& c) {
         c.Start(With([](sim::SimOptions& o) { o.dropReplyToBlock = 2; }));
         ConnectAndUpdate(c, HexImage().Bytes(0, Pattern(700)).End().Text());
       }},
      {"CodeClickSendsTheHeldImageAgain",
       [](GoldenTrace& c) {
         c.Start(With([](sim::SimOptions& o) { o.dropReplyToBlock = 2; }));
         ConnectAndUpdate(c, HexImage().Bytes(0, Pattern(700)).End().Text());
         c.ClickInCode(Control::BtnFileOpen);
       }},
      {"UpdateLosesThePortMidTransfer",
       [](GoldenTrace& c) {
         c.Start(With([](sim::SimOptions& o) { o.hangUpAfterBlock = 1; }));
         c.SetWaitSeconds("30");  // the hang-up, not a time-out, ends it
         ConnectAndUpdate(c, HexImage().Bytes(0, Pattern(1024)).End().Text());
       }},
      {"RestoreByThePopupEntry",
       [](GoldenTrace& c) {
         c.Start();
         c.Click(Control::Restore1);
         c.ChooseInDialog("image.hex", kImage);
         c.Click(Control::BtnFileOpen);
       }},
      {"RestoreByTheButton",
       [](GoldenTrace& c) {
         c.Start();
         c.Click(Control::Button_Open);
         c.ChooseInDialog("image.hex", kImage);
         c.Click(Control::BtnRestore);
       }},
      {"EraseAccepted",
       [](GoldenTrace& c) {
         c.Start();
         c.Click(Control::Button_Open);
         c.AnswerNextConfirmation(true);
         c.ClickInCode(Control::BtnErase);
       }},
      {"EraseRefused",
       [](GoldenTrace& c) {
         c.Start(With([](sim::SimOptions& o) { o.refuseErase = 1; }));
         c.Click(Control::Button_Open);
         c.AnswerNextConfirmation(true);
         c.ClickInCode(Control::BtnErase);
       }},
      {"EraseDeclined",
       [](GoldenTrace& c) {
         c.Start();
         c.Click(Control::Button_Open);
         c.AnswerNextConfirmation(false);
         c.ClickInCode(Control::BtnErase);
       }},
      {"WizardCatchesPowerOnAndUpdates",
       [](GoldenTrace& c) {
         c.Start({}, /*showMessages=*/false);
         c.PowerOnWhenTheWizardWaits();
         c.ChooseInDialog("image.hex", kImage);
         c.Click(Control::SetBootloader1);
       }},
      {"CodeReportConnectsAndSendsUnverified",
       [](GoldenTrace& c) {
         c.Start();
         c.CheckCodeReport();
         c.ChooseInDialog("image.hex", kImage);
         c.Click(Control::BtnFileOpen);
       }},
      {"ShowMessageOffConnectsAndUpdates",
       [](GoldenTrace& c) {
         c.Start({}, /*showMessages=*/false);
         ConnectAndUpdate(c);
       }},
  };
  return chains;
}

// Chains whose texts differ in Chinese run in both languages.
const char* const kChinese[] = {"ConnectSucceeds",
                                "ConnectNotAnswered",
                                "ConnectGreetsAgainOnTheRestartPattern",
                                "UpdateWritesTheImage",
                                "UpdateOfAFileWithoutData",
                                "UpdateTimesOutMidTransfer",
                                "UpdateLosesThePortMidTransfer",
                                "RestoreByThePopupEntry",
                                "WizardCatchesPowerOnAndUpdates"};

std::vector<ChainCase> Cases() {
  std::vector<ChainCase> cases;
  for (const auto& [name, run] : AllChains()) cases.push_back({name, "ENG", run});
  for (const char* name : kChinese) cases.push_back({name, "CH", AllChains().at(name)});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Window, Chains, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name + "_" + info.param.language; });

}  // namespace
}  // namespace mx::test
