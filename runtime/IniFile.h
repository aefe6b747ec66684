#pragma once
// A small INI-file reader and writer. The file is read as UTF-8, or as code
// page 936 (GBK) when it is not valid UTF-8; values are handed out as UTF-8.
// Writing one key rewrites only that key's line (or adds it) and keeps every
// other line of the file byte for byte, in the file's own encoding.

#include <string>
#include <vector>

class TIniFile {
 public:
  // Reads AFileName (a locale path) when it exists; a missing or unreadable
  // file reads as empty.
  explicit TIniFile(std::string AFileName);

  const std::string& FileName() const { return FFileName; }
  bool Exists() const { return FExists; }
  bool IsGbk() const { return FGbk; }

  std::string ReadString(const std::string& ASection, const std::string& AIdent, const std::string& ADefault) const;
  // Integer value (decimal, or "$" hexadecimal); ADefault when absent or not an integer.
  int ReadInteger(const std::string& ASection, const std::string& AIdent, int ADefault) const;

  // Sets the key and writes the file at once. Throws std::runtime_error with
  // the system's message when the file cannot be written.
  void WriteString(const std::string& ASection, const std::string& AIdent, const std::string& AValue);

  // Writes the current contents to another file (used to carry a settings file
  // over to a new place). Throws std::runtime_error on failure.
  void SaveAs(const std::string& AFileName);

 private:
  struct TLine {
    std::string Raw;      // the line as stored, without its line break
    std::string Break;    // its line break as stored ("\r\n", "\n", or none for a last line)
    std::string Section;  // section it belongs to (UTF-8), for key lines
    std::string Key;      // UTF-8 key, empty for other lines
    std::string Value;    // UTF-8 value
  };
  void Parse(const std::string& AText);
  std::string Encode(const std::string& AUtf8) const;
  std::string Serialize() const;

  std::string FFileName;
  bool FExists = false;
  bool FGbk = false;
  std::string FLineBreak = "\r\n";  // line break for new lines
  std::vector<TLine> FLines;
};
