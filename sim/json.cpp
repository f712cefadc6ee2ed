#include "sim/json.h"

#include <cstdio>

namespace plcsim {

std::string JsonWriter::Quote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

void JsonWriter::Add(const std::string& entry) {
  if (nested_) {
    nestedItems_.push_back(entry);
  } else {
    entries_.push_back(entry);
  }
}

void JsonWriter::Field(const std::string& key, const std::string& value) {
  Add(Quote(key) + ": " + Quote(value));
}

void JsonWriter::Field(const std::string& key, bool value) {
  Add(Quote(key) + ": " + (value ? "true" : "false"));
}

void JsonWriter::Number(const std::string& key, const std::string& digits) {
  Add(Quote(key) + ": " + digits);
}

void JsonWriter::BeginArray(const std::string& key) {
  nested_ = true;
  nestedIsArray_ = true;
  nestedKey_ = key;
  nestedItems_.clear();
}

void JsonWriter::Element(const std::string& rendered) {
  nestedItems_.push_back(rendered);
}

void JsonWriter::BeginObject(const std::string& key) {
  BeginArray(key);
  nestedIsArray_ = false;
}

void JsonWriter::EndArray() {
  nested_ = false;
  std::string e = Quote(nestedKey_) + ": " + (nestedIsArray_ ? "[" : "{");
  for (size_t i = 0; i < nestedItems_.size(); ++i) {
    e += (i == 0 ? "\n    " : ",\n    ") + nestedItems_[i];
  }
  if (!nestedItems_.empty()) e += "\n  ";
  e += nestedIsArray_ ? "]" : "}";
  entries_.push_back(e);
  nestedItems_.clear();
}

void JsonWriter::EndObject() {
  EndArray();
}

std::string JsonWriter::Inline() const {
  std::string out = "{";
  for (size_t i = 0; i < entries_.size(); ++i) out += (i == 0 ? "" : ", ") + entries_[i];
  return out + "}";
}

std::string JsonWriter::Finish() const {
  std::string out = "{";
  for (size_t i = 0; i < entries_.size(); ++i) out += (i == 0 ? "\n  " : ",\n  ") + entries_[i];
  return out + "\n}\n";
}

}  // namespace plcsim
