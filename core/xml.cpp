#include "core/xml.h"

#include <cstdio>
#include <cstring>

#include "core/platform/platform.h"

namespace XML {

namespace {

// isspace in the "C" locale.
inline bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

inline bool IsNameByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':';
}

inline char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; }

bool EqualNoCase(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; i++) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// The whole file; false when it is not a readable regular file.
bool ReadWholeFile(const char* path, CReallocArray<char>& bytes) {
  Platform::TFileHandle file = Platform::OpenFileForRead(path);
  if (file == Platform::kInvalidFile) return false;
  uint64_t fileSize = 0;
  bool ok = Platform::GetFileSize(file, &fileSize) && fileSize < SIZE_MAX;
  if (ok) {
    try {
      bytes.Resize(size_t(fileSize));
    } catch (...) {
      Platform::CloseFile(file);
      throw;
    }
    ok = Platform::ReadFile(file, bytes.data, fileSize) == fileSize;
  }
  Platform::CloseFile(file);
  return ok;
}

}  // namespace

const TXMLAttribute* TXMLNode::FindAttribute(const char* attributeName) const {
  for (const TXMLAttribute& a : attributes) {
    if (Platform::StrICmp(a.name.c_str(), attributeName) == 0) return &a;
  }
  return nullptr;
}

void CWrongXMLException::Print(CLog& log, const char* fileName) const {
  log.Print("Wrong xml structure at %s:%u", fileName, line);
}

void CWrongXMLException::SetFileName(const char* fileName) {
  std::snprintf(message, sizeof message, "Wrong xml structure at %s:%u", fileName, line);
}

std::unique_ptr<TXMLNode> CXMLParser::Parse(const char* bytes, size_t byteCount) {
  buffer = bytes;
  size = byteCount;
  SkipProlog();
  size_t cursor = start;
  return ParseNode(cursor, nullptr, 1);
}

void CXMLParser::SkipProlog() {
  start = 0;
  if (size >= 3 && std::memcmp(buffer, "\xEF\xBB\xBF", 3) == 0) start = 3;
  line = 1;
  countedTo = start;
  if (size - start >= 5 && EqualNoCase(buffer + start, "<?xml", 5)) {
    for (size_t p = start + 5; p + 1 < size; p++) {
      if (buffer[p] == '?' && buffer[p + 1] == '>') {
        start = p + 2;
        return;
      }
    }
    ThrowWrongXml(start);
  }
}

size_t CXMLParser::SkipSpace(size_t position) const {
  while (position < size && IsSpace(buffer[position])) position++;
  return position;
}

size_t CXMLParser::SkipToTag(size_t position) {
  for (;;) {
    size_t p = SkipSpace(position);
    if (p >= size || buffer[p] != '<') ThrowWrongXml(position);
    if (size - p < 7 || std::memcmp(buffer + p + 1, "!--", 3) != 0) return p;
    size_t q = p + 4;
    while (q + 2 < size && std::memcmp(buffer + q, "-->", 3) != 0) q++;
    if (q + 2 >= size) ThrowWrongXml(p);
    position = q + 3;
  }
}

bool CXMLParser::IsClosingTag(size_t position, const std::string& name) const {
  size_t length = name.size();
  return position < size && size - position >= length + 2 && buffer[position] == '/' &&
         buffer[position + length + 1] == '>' && EqualNoCase(buffer + position + 1, name.data(), length);
}

CXMLParser::TTagResult CXMLParser::ParseTag(size_t& cursor, const std::string* openName, unsigned depth,
                                            TXMLNode& node) {
  size_t p = SkipToTag(cursor);
  if (openName && IsClosingTag(p + 1, *openName)) {
    cursor = p + openName->size() + 3;
    return ParentClosed;
  }
  if (depth > kMaxDepth) ThrowWrongXml(p);

  size_t nameEnd = p + 1;
  while (nameEnd < size && IsNameByte(buffer[nameEnd])) nameEnd++;
  if (nameEnd >= size) ThrowWrongXml(p + 1);
  node.name.assign(buffer + p + 1, nameEnd - p - 1);
  node.line = CountLines(p + 1);

  size_t q = ParseAttributes(nameEnd, node);
  if (buffer[q] == '/') {
    if (q + 1 >= size || buffer[q + 1] != '>') ThrowWrongXml(q);
    cursor = q + 2;
    return TagComplete;
  }
  // '>': either text up to our own closing tag, or children.
  const void* found = q + 1 < size ? std::memchr(buffer + q + 1, '<', size - q - 1) : nullptr;
  if (!found) ThrowWrongXml(q);
  size_t lt = static_cast<const char*>(found) - buffer;
  if (IsClosingTag(lt + 1, node.name)) {
    TXMLAttribute* text = node.attributes.EmplaceBack();
    text->name = "text";
    text->line = CountLines(q + 1);
    text->value.AppendUtf8(buffer + q + 1, lt - q - 1);
    node.hasText = 1;
    cursor = lt + node.name.size() + 3;
    return TagComplete;
  }
  cursor = q + 1;
  return TagOpened;
}

size_t CXMLParser::ParseAttributes(size_t position, TXMLTag& tag) {
  for (;;) {
    if (position >= size) ThrowWrongXml(position);
    size_t p = SkipSpace(position);
    if (p >= size) ThrowWrongXml(position);
    if (buffer[p] == '/' || buffer[p] == '>') return p;

    size_t nameStart = p;
    while (p < size && IsNameByte(buffer[p])) p++;
    if (p >= size) ThrowWrongXml(nameStart);
    TXMLAttribute* attribute = tag.attributes.EmplaceBack();
    attribute->name.assign(buffer + nameStart, p - nameStart);
    attribute->line = CountLines(nameStart);

    size_t nameEnd = p;
    p = SkipSpace(p);
    if (p >= size || buffer[p] != '=') ThrowWrongXml(nameEnd);
    size_t equals = p;
    p = SkipSpace(p + 1);
    if (p >= size || (buffer[p] != '"' && buffer[p] != '\'')) ThrowWrongXml(equals);
    const void* close = std::memchr(buffer + p + 1, buffer[p], size - p - 1);
    if (!close) ThrowWrongXml(p + 1);
    size_t valueEnd = static_cast<const char*>(close) - buffer;
    attribute->value.AppendUtf8(buffer + p + 1, valueEnd - p - 1);
    position = valueEnd + 1;
  }
}

std::unique_ptr<TXMLNode> CXMLParser::ParseNode(size_t& cursor, const std::string* openName, unsigned depth) {
  auto node = std::make_unique<TXMLNode>();
  TTagResult result = ParseTag(cursor, openName, depth, *node);
  if (result == ParentClosed) return nullptr;
  if (result == TagOpened) {
    while (std::unique_ptr<TXMLNode> child = ParseNode(cursor, &node->name, depth + 1)) {
      node->children.PushBack(std::move(child));
    }
  }
  return node;
}

uint32_t CXMLParser::CountLines(size_t position) {
  if (position < countedTo) {  // positions only move forward; recount if not
    line = 1;
    countedTo = 0;
  }
  for (; countedTo < position && countedTo < size; countedTo++) {
    if (buffer[countedTo] == '\n') line++;
  }
  return line;
}

void CXMLParser::ThrowWrongXml(size_t position) const {
  uint32_t faultLine = 1;
  for (size_t i = 0; i < position && i < size; i++) {
    if (buffer[i] == '\n') faultLine++;
  }
  throw CWrongXMLException(position, faultLine);
}

TXMLNode* CXMLDocument::Load(const char* path) {
  fileName = path;
  CReallocArray<char> bytes;
  if (!ReadWholeFile(path, bytes)) return nullptr;
  CXMLParser parser;
  std::unique_ptr<TXMLNode> parsed;
  try {
    parsed = parser.Parse(bytes.data, bytes.Size());
  } catch (CWrongXMLException& e) {
    e.SetFileName(path);
    throw;
  }
  root = std::move(parsed);
  return root.get();
}

}  // namespace XML
