// The operator's guide (docs/operator-guide.md) has a row for every message box the program can
// show, and no row for a text it cannot show.
//
// The program's side comes from running it, not from its constants: a burn of every simulated
// PLC, for every model every request left unanswered and the other faults that end a burn their
// own way, the ends before the PLC is reached, and the texts the driver picks by a value for
// every value. Two nets keep that drive complete: every string literal of the burn's sources must
// turn up in what it showed (or be a model name), and the window's message boxes, Windows code
// that this build does not compile, are read from its ShowMessage calls.
//
// The guide's "What to do" column says, message by message, what the fault matrix does after a
// failed burn before it burns again (faultmatrix/recovery.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/catalogue.h"
#include "faultmatrix/recovery.h"
#include "sim/fault.h"
#include "sim/profile.h"
#include "update/driver.h"
#include "update/tests/burn_harness.h"

namespace {

namespace fs = std::filesystem;

const fs::path kSourceDir = MORVEX_SOURCE_DIR;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A port name differs from burn to burn; both sides are compared with "COMn" for it.
std::string WithoutPortNumber(const std::string& text) {
  static const std::regex port("COM[0-9]+");
  return std::regex_replace(text, port, "COMn");
}

std::string Trim(const std::string& s) {
  size_t first = s.find_first_not_of(' ');
  size_t last = s.find_last_not_of(' ');
  return first == std::string::npos ? "" : s.substr(first, last - first + 1);
}

struct GuideRow {
  std::string caption, when, whatToDo;
};

// The rows of the message table by message text (port number left out).
std::map<std::string, GuideRow> GuideRows(const std::string& guide,
                                          std::vector<std::string>& problems) {
  const char kBlankMark[] = "(ends with a blank)";
  std::map<std::string, GuideRow> rows;
  std::string whenAbove, whatToDoAbove;
  std::istringstream lines(guide);
  std::string line;
  bool inTable = false;
  while (std::getline(lines, line)) {
    if (line.rfind("| Caption | Message |", 0) == 0) {
      inTable = true;
      std::getline(lines, line);  // the header's rule
      continue;
    }
    if (!inTable) continue;
    if (line.empty() || line[0] != '|') break;
    std::vector<std::string> cells;
    std::istringstream row(line.substr(1));
    for (std::string cell; std::getline(row, cell, '|');) cells.push_back(cell);
    size_t open = cells.size() >= 2 ? cells[1].find('`') : std::string::npos;
    size_t close = open == std::string::npos ? open : cells[1].find('`', open + 1);
    if (close == std::string::npos) {
      problems.push_back("a row without a message in backquotes: " + line);
      continue;
    }
    std::string text = cells[1].substr(open + 1, close - open - 1);
    bool marked = Trim(cells[1].substr(close + 1)) == kBlankMark;
    if (marked != (!text.empty() && text.back() == ' ')) {
      problems.push_back("\"" + text + "\": the mark " + kBlankMark + " must stand exactly " +
                         "after the texts that end in a blank");
    }
    // "As above." stands for the cell above; a "When" that begins so goes on from it.
    std::string when = cells.size() >= 3 ? Trim(cells[2]) : "";
    std::string whatToDo = cells.size() >= 4 ? Trim(cells[3]) : "";
    if (when.rfind("As above", 0) == 0) when += " " + whenAbove;
    if (whatToDo == "As above.") whatToDo = whatToDoAbove;
    whenAbove = when;
    whatToDoAbove = whatToDo;
    GuideRow guideRow{Trim(cells[0]), when, whatToDo};
    if (!rows.emplace(WithoutPortNumber(text), guideRow).second) {
      problems.push_back("\"" + text + "\" has two rows");
    }
  }
  if (rows.empty()) problems.push_back("no message table (| Caption | Message | ...) found");
  return rows;
}

// Just enough of C++ to find string literals and calls: words, string literals (escapes
// decoded, adjacent ones joined), single punctuation characters. Comments, character literals
// and preprocessor lines are left out.
struct Token {
  enum Kind { kWord, kString, kPunct } kind;
  std::string text;
  int line;
};

std::vector<Token> Tokens(const std::string& src) {
  std::vector<Token> tokens;
  int line = 1;
  bool lineStart = true;
  for (size_t i = 0; i < src.size();) {
    char c = src[i];
    if (c == '\n') {
      ++line;
      lineStart = true;
      ++i;
    } else if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
    } else if (lineStart && c == '#') {
      i = src.find('\n', i);
      if (i == std::string::npos) i = src.size();
    } else if (src.compare(i, 2, "//") == 0) {
      i = src.find('\n', i);
      if (i == std::string::npos) i = src.size();
    } else if (src.compare(i, 2, "/*") == 0) {
      size_t end = src.find("*/", i + 2);
      end = end == std::string::npos ? src.size() : end + 2;
      line += static_cast<int>(std::count(src.begin() + i, src.begin() + end, '\n'));
      i = end;
    } else if (c == '"' || c == '\'') {
      std::string value;
      for (++i; i < src.size() && src[i] != c; ++i) {
        if (src[i] != '\\') {
          value += src[i];
          continue;
        }
        char e = src[++i];
        value += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e == '0' ? '\0' : e;
      }
      ++i;
      if (c == '\'') {
        lineStart = false;
        continue;
      }
      if (!tokens.empty() && tokens.back().kind == Token::kString) {
        tokens.back().text += value;
      } else {
        tokens.push_back({Token::kString, value, line});
      }
    } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
      size_t start = i;
      while (i < src.size() &&
             (std::isalnum(static_cast<unsigned char>(src[i])) || src[i] == '_')) {
        ++i;
      }
      tokens.push_back({Token::kWord, src.substr(start, i - start), line});
    } else {
      tokens.push_back({Token::kPunct, std::string(1, c), line});
      ++i;
    }
    if (c != '\n' && c != ' ' && c != '\t' && c != '\r') lineStart = false;
  }
  return tokens;
}

std::vector<fs::path> SourcesIn(const char* dir) {
  std::vector<fs::path> files;
  for (const fs::directory_entry& e : fs::directory_iterator(kSourceDir / dir)) {
    if (e.path().extension() == ".cpp") files.push_back(e.path());
  }
  return files;
}

struct WindowMessage {
  std::string caption, text;
};

// The window's message boxes, from its calls of ShowMessage(owner, text, caption, icon): a text
// or caption is a string literal or a named constant defined as one in ui/.
std::vector<WindowMessage> WindowMessages(std::vector<std::string>& problems) {
  std::vector<std::pair<fs::path, std::vector<Token>>> files;
  std::map<std::string, std::string> constants;
  for (const fs::path& file : SourcesIn("ui")) {
    files.emplace_back(file, Tokens(ReadFile(file)));
    const std::vector<Token>& t = files.back().second;
    for (size_t i = 0; i + 4 < t.size(); ++i) {
      if (t[i].kind == Token::kWord && t[i + 1].text == "[" && t[i + 2].text == "]" &&
          t[i + 3].text == "=" && t[i + 4].kind == Token::kString) {
        constants[t[i].text] = t[i + 4].text;
      }
    }
  }
  std::vector<WindowMessage> messages;
  for (const auto& [file, t] : files) {
    for (size_t i = 0; i + 1 < t.size(); ++i) {
      std::string where = file.filename().string() + ":" + std::to_string(t[i].line);
      if (t[i].kind == Token::kWord && t[i].text.rfind("MessageBox", 0) == 0) {
        problems.push_back(where + " calls " + t[i].text + "; show messages through Plat()");
      }
      if (t[i].text != "ShowMessage" || t[i + 1].text != "(") continue;
      std::vector<std::vector<Token>> args(1);
      int depth = 0;
      for (size_t j = i + 2; j < t.size(); ++j) {
        if (t[j].text == ")" && depth-- == 0) break;
        if (t[j].text == "(") ++depth;
        if (t[j].text == "," && depth == 0) {
          args.emplace_back();
        } else {
          args.back().push_back(t[j]);
        }
      }
      std::string values[2];
      for (int a = 0; a < 2; ++a) {
        const std::vector<Token>& arg = args.size() == 4 ? args[a + 1] : std::vector<Token>();
        if (arg.size() == 1 && arg[0].kind == Token::kString) values[a] = arg[0].text;
        if (arg.size() == 1 && constants.count(arg[0].text) != 0) {
          values[a] = constants[arg[0].text];
        }
        if (values[a].empty()) problems.push_back(where + ": cannot tell what this box shows");
      }
      messages.push_back({values[1], values[0]});
    }
  }
  return messages;
}

bool FitsFormat(const std::string& format, const std::string& text) {
  size_t at = format.find("%s");
  if (at == std::string::npos) return false;
  std::string head = format.substr(0, at), tail = format.substr(at + 2);
  return text.size() >= head.size() + tail.size() && text.compare(0, head.size(), head) == 0 &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void ExpectNoProblems(const std::vector<std::string>& problems) {
  std::string all;
  for (const std::string& p : problems) all += "  " + p + "\n";
  EXPECT_TRUE(problems.empty()) << problems.size() << " problems:\n" << all;
}

class OperatorGuideTest : public BurnTest {
 protected:
  static constexpr uint32_t kImage = 4096;  // fits every model's limits

  void BurnAndKeep() {
    Burn();
    for (const RecordingPlatform::Shown& s : platform.shown) shown.insert({s.caption, s.text});
  }

  std::set<std::pair<std::string, std::string>> shown;  // caption, text
};

TEST_F(OperatorGuideTest, MessageTableHoldsEveryTextTheProgramShowsAndNoOther) {
  for (const std::string& name : plcsim::ProfileNames()) {
    const plcsim::Profile& profile = *plcsim::FindProfile(name);
    Restart();
    Prepare(profile.toolModel.c_str(), profile, kImage);
    BurnAndKeep();
  }
  for (const char* model : plcList) {
    // Every request left unanswered for good, and the two faults that are more than a missing
    // answer. (A spoilt or refused answer, given for good, ends a request as silence does; the
    // codes of refusals are covered below.)
    for (const char* kind : {"silence", "write-error", "stay"}) {
      for (int r = 0; r < static_cast<int>(plcsim::Request::kCount); ++r) {
        std::string spec =
            std::string(kind) + ":" + plcsim::RequestName(static_cast<plcsim::Request>(r)) + ":1x*";
        plcsim::FaultSpec fault;
        std::string error;
        if (!plcsim::ParseFault(spec, fault, error)) continue;  // not a fault of that request
        Restart();
        Prepare(model, nullptr, kImage);
        plc->AddFault(fault);
        BurnAndKeep();
      }
    }
    Restart();
    Prepare(model, nullptr, kImage);
    platform.imageAvailable = false;
    BurnAndKeep();
    Restart();
    Prepare(model, nullptr, kImage);
    platform.interfaces.clear();
    comPorts.clear();
    BurnAndKeep();
  }

  std::set<std::string> texts;  // every text the program shows, port number left out
  for (const auto& [caption, text] : shown) texts.insert(WithoutPortNumber(text));
  // Texts the driver picks by a value: the state texts for every code, the size refusals at both
  // ends of the length range, whether a PLC or an image of today gives them or not.
  for (int code = 0; code < 256; ++code) {
    texts.insert(State1Text(static_cast<uint8_t>(code)));
    texts.insert(State2Text(static_cast<uint8_t>(code)));
    texts.insert(State3Text(static_cast<uint8_t>(code)));
  }
  for (const char* model : plcList) {
    SelectModelForTest(model);
    for (uint32_t length : {0u, 0xFFFFFFFFu}) {
      if (const char* refusal = ImageSizeRefusal(length)) texts.insert(refusal);
    }
  }
  std::vector<std::string> problems;
  for (const WindowMessage& m : WindowMessages(problems)) {
    shown.insert({m.caption, m.text});
    texts.insert(m.text);
  }

  // The burn's own sources: a literal that is no model name and none of what the drive showed
  // is a message the drive never reached.
  std::set<std::string> known(std::begin(plcList), std::end(plcList));
  known.insert(texts.begin(), texts.end());
  for (const auto& [caption, text] : shown) {
    known.insert(caption);
    known.insert(text);
  }
  std::vector<std::string> formats;  // of every file: a row's format is filled in the driver
  for (const fs::path& file : SourcesIn("update")) {
    for (const Token& t : Tokens(ReadFile(file))) {
      if (t.kind == Token::kString && t.text.find("%s") != std::string::npos) {
        formats.push_back(t.text);
      }
    }
  }
  for (const fs::path& file : SourcesIn("update")) {
    std::vector<std::string> literals;
    for (const Token& t : Tokens(ReadFile(file))) {
      if (t.kind == Token::kString) literals.push_back(t.text);
    }
    for (const std::string& literal : literals) {
      bool accounted = literal.empty() || known.count(literal) != 0;
      for (const auto& [caption, text] : shown) {
        accounted = accounted || FitsFormat(literal, text);
        // A literal that fills a format, as "USB" does "CANNOT open %s Port!!!".
        for (std::string filled : formats) {
          accounted = accounted || filled.replace(filled.find("%s"), 2, literal) == text;
        }
      }
      if (!accounted) {
        problems.push_back(file.filename().string() + " has \"" + literal +
                           "\", which no burn of this test showed: reach it here, and give it a "
                           "row in the guide if it is a message");
      }
    }
  }

  std::map<std::string, GuideRow> rows =
      GuideRows(ReadFile(kSourceDir / "docs" / "operator-guide.md"), problems);
  for (const std::string& text : texts) {
    if (rows.count(text) == 0) problems.push_back("no row in the guide for \"" + text + "\"");
  }
  for (const auto& [text, caption] : rows) {
    if (texts.count(text) == 0) problems.push_back("the program never shows \"" + text + "\"");
  }
  for (const auto& [caption, text] : shown) {
    auto row = rows.find(WithoutPortNumber(text));
    if (row != rows.end() && row->second.caption != caption) {
      problems.push_back("\"" + text + "\" is shown with the caption \"" + caption +
                         "\", the guide says \"" + row->second.caption + "\"");
    }
  }
  ExpectNoProblems(problems);
}

// What the guide's "What to do" cell asks first: the first sentence that sends the operator to
// "Start Burn" again, and whether the PLC is switched off and on before; with no such sentence, a
// copy made for another PLC, or the PLC's supplier.
Remedy RemedyInGuide(const std::string& whatToDo) {
  size_t start = 0;
  while (start < whatToDo.size()) {
    size_t end = whatToDo.find(". ", start);
    end = end == std::string::npos ? whatToDo.size() : end + 1;
    const std::string sentence = whatToDo.substr(start, end - start);
    if (sentence.find("\"Start Burn\"") != std::string::npos) {
      return sentence.find("off and on") != std::string::npos ? Remedy::kPowerCycle
                                                              : Remedy::kAgain;
    }
    start = end + 1;
  }
  return whatToDo.rfind("Use the copy", 0) == 0 ? Remedy::kOtherCopy : Remedy::kNone;
}

// The remedy of each ending is what the guide says to do, and the endings that reach the PLC are
// the guide's failures that do.
TEST(OperatorGuideRecoveryTest, WhatToDoIsWhatTheFaultMatrixDoesBeforeItBurnsAgain) {
  std::vector<std::string> problems;
  const std::map<std::string, GuideRow> rows =
      GuideRows(ReadFile(kSourceDir / "docs" / "operator-guide.md"), problems);
  std::set<std::string> reachThePlc;
  for (int id = 0; id < kEndingCount; ++id) {
    const Ending& e = kEndings[id];
    if (e.remedy == Remedy::kDone || e.remedy == Remedy::kNotReached) continue;
    reachThePlc.insert(e.text);
    auto row = rows.find(e.text);
    if (row == rows.end()) {
      problems.push_back("no row in the guide for \"" + std::string(e.text) + "\"");
    } else if (RemedyInGuide(row->second.whatToDo) != e.remedy) {
      problems.push_back("\"" + std::string(e.text) + "\": the fault matrix does \"" +
                         RemedyName(e.remedy) + "\", the guide says \"" + row->second.whatToDo +
                         "\"");
    } else if (e.remedy == Remedy::kNone &&
               row->second.whatToDo.find("No burn of this copy helps") == std::string::npos) {
      problems.push_back("\"" + std::string(e.text) + "\": say that no burn helps");
    }
  }
  // Every failure of a burn that reached the PLC has a way back the matrix follows.
  for (const auto& [text, row] : rows) {
    const bool nothingSent = row.when.find("Nothing was sent to the PLC") != std::string::npos;
    if (row.caption == "ERROR" && !nothingSent && reachThePlc.count(text) == 0) {
      problems.push_back("\"" + text + "\" reaches the PLC but its ending has no remedy");
    }
    if (nothingSent && reachThePlc.count(text) != 0) {
      problems.push_back("\"" + text +
                         "\": the guide says nothing was sent, the ending reaches the PLC");
    }
  }
  ExpectNoProblems(problems);
}

}  // namespace
