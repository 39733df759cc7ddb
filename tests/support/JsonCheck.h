// JSON for the tests that read comfind-cli's machine-readable output: a strict parser, and a
// checker for the part of JSON Schema that the documented schema (cli/comfind-cli.schema.json)
// uses: $ref to $defs, type, enum, properties, required, additionalProperties false, items,
// minimum, pattern and oneOf. A keyword it does not know is reported, never passed over.
#pragma once

#include <string>
#include <vector>

namespace comfind {

struct TJsonMember;

struct TJson {
  enum TKind { jNull, jBool, jNumber, jString, jArray, jObject };
  TKind Kind = jNull;
  bool Bool = false;
  double Number = 0;
  bool Integer = false;  // a number written without fraction or exponent
  std::string String;    // UTF-8
  std::vector<TJson> Array;
  // A member of its own type rather than a pair: a pair of an incomplete type is not allowed.
  std::vector<TJsonMember> Object;  // in the document's order

  // The member named Key, or null when there is none (or this is no object).
  const TJson* Find(const std::string& Key) const;
  // The member named Key; throws std::out_of_range when there is none.
  const TJson& operator[](const std::string& Key) const;
};

struct TJsonMember {
  std::string Name;
  TJson Value;
};

// Parses one JSON document (RFC 8259: no trailing commas, no control characters in strings,
// nothing but white space after the value). Throws std::runtime_error naming the offset.
TJson ParseJson(const std::string& Text);

// The problems of Value against Schema, each with the path to the value; none when it is valid.
std::vector<std::string> CheckJsonSchema(const TJson& Value, const TJson& Schema);

// A file of the source tree (COMFIND_SOURCE_DIR, fixed at build time), read whole; throws when
// it cannot be read.
std::string ReadSourceFile(const std::string& Relative);

}  // namespace comfind
