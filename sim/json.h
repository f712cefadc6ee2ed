// A small JSON writer for the report: every top-level field and every array element on a line
// of its own, so that shell scripts can pick values with grep as well as with a JSON parser.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plcsim {

class JsonWriter {
 public:
  void Field(const std::string& key, const std::string& value);
  void Field(const std::string& key, const char* value) { Field(key, std::string(value)); }
  void Field(const std::string& key, bool value);
  void Field(const std::string& key, int value) { Number(key, std::to_string(value)); }
  void Field(const std::string& key, uint32_t value) { Number(key, std::to_string(value)); }
  void Field(const std::string& key, uint64_t value) { Number(key, std::to_string(value)); }

  // One level of nesting: an array of rendered values, or an object of fields.
  void BeginArray(const std::string& key);
  void Element(const std::string& rendered);
  void EndArray();
  void BeginObject(const std::string& key);
  void EndObject();

  std::string Inline() const;  // {"a": 1, "b": "x"}
  std::string Finish() const;  // the whole document, one field a line

  static std::string Quote(const std::string& s);

 private:
  void Number(const std::string& key, const std::string& digits);
  void Add(const std::string& entry);

  std::vector<std::string> entries_;
  bool nested_ = false;
  bool nestedIsArray_ = false;
  std::string nestedKey_;
  std::vector<std::string> nestedItems_;
};

}  // namespace plcsim
