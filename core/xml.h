// A small XML reader for the configuration files: one root element parsed
// into a tree of nodes with attributes. It accepts a byte-order mark, an XML
// declaration, comments, elements, attributes in single or double quotes and
// text only as the whole content of an element; it decodes no entities.
// Malformed input throws XML::CWrongXMLException with the line of the fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "core/containers.h"
#include "core/log.h"
#include "core/widestring.h"

namespace XML {

struct TXMLAttribute {
  std::string name;   // the bytes as written
  CWideString value;  // decoded from UTF-8, entities left as written
  uint32_t line = 0;  // 1-based line of the name (of the text's first byte for "text")
};

struct TXMLTag {
  std::string name;
  CReallocArray<TXMLAttribute> attributes;  // document order
  uint8_t hasText = 0;                      // the content is an attribute named "text"
  uint32_t line = 0;                        // line of the name's first byte
};

// An element. It has either text or children, never both.
struct TXMLNode : TXMLTag {
  TXMLNode() = default;
  TXMLNode(const TXMLNode&) = delete;
  TXMLNode& operator=(const TXMLNode&) = delete;

  // The first attribute of that name, ASCII case ignored; "text" finds the content.
  const TXMLAttribute* FindAttribute(const char* attributeName) const;

  CReallocArray<std::unique_ptr<TXMLNode>> children;  // document order
};

// A standard exception too, so that a report of one that nothing catches
// can still say what and where.
class CXMLException : public std::exception {
 public:
  virtual void Print(CLog& log, const char* fileName) const = 0;
};

class CWrongXMLException : public CXMLException {
 public:
  CWrongXMLException(size_t faultPosition, uint32_t faultLine) : position(faultPosition), line(faultLine) {
    SetFileName("");
  }
  // "Wrong xml structure at <file>:<line>"
  void Print(CLog& log, const char* fileName) const override;
  // Names the file in what() (the parser itself reads bytes, not files).
  void SetFileName(const char* fileName);
  const char* what() const noexcept override { return message; }

  size_t position;  // byte offset of the fault in the file
  uint32_t line;    // 1 + line feeds before it

 private:
  char message[320];
};

// Parses one buffer. Elements may nest kMaxDepth deep; deeper nesting is
// refused as malformed, so hostile input cannot exhaust the stack.
class CXMLParser {
 public:
  static constexpr unsigned kMaxDepth = 256;

  // The root element; whatever follows its end is not examined.
  std::unique_ptr<TXMLNode> Parse(const char* bytes, size_t size);

 private:
  enum TTagResult { TagOpened, ParentClosed, TagComplete };

  void SkipProlog();
  size_t SkipToTag(size_t position);
  TTagResult ParseTag(size_t& cursor, const std::string* openName, unsigned depth, TXMLNode& node);
  size_t ParseAttributes(size_t position, TXMLTag& tag);
  std::unique_ptr<TXMLNode> ParseNode(size_t& cursor, const std::string* openName, unsigned depth);
  // True when the bytes at position are '/', the name (ASCII case ignored) and '>'.
  bool IsClosingTag(size_t position, const std::string& name) const;
  size_t SkipSpace(size_t position) const;
  uint32_t CountLines(size_t position);
  [[noreturn]] void ThrowWrongXml(size_t position) const;

  const char* buffer = nullptr;
  size_t size = 0;
  size_t start = 0;  // after the byte-order mark and the declaration
  uint32_t line = 1;
  size_t countedTo = 0;
};

class CXMLDocument {
 public:
  // Reads and parses a regular file. Null when it cannot be read; the
  // document then keeps its old root. Malformed content throws
  // CWrongXMLException, also leaving the old root.
  TXMLNode* Load(const char* path);

  std::string fileName;
  std::unique_ptr<TXMLNode> root;
};

}  // namespace XML
