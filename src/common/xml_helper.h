// RecordTree <-> XML text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/hresult.h"
#include "common/recordtree.h"

// Documents nested this deep or deeper fail instead of recursing on (the limit answers were
// always read with, tinyxml2's own: 98 levels are fine).
inline constexpr int kMaxXmlDepth = 99;

// Most memory the tree read from one answer may take; beyond it the answer is
// refused like one that is not well-formed (with one log line).
inline constexpr size_t kMaxXmlTreeBytes = size_t{160} << 20;

// Most memory the parser's own document of one whole answer would take (its copy of the
// text and its nodes, estimated from the text before parsing); beyond it the answer is
// refused with one log line before a node is built. A listing would take about 2 KiB of
// document per item, so this admits listings of over 110,000 items, while a flood of
// empty elements is refused after one pass over its text. (Long answers are parsed in
// slices, so the parser holds far less than this at any time.)
inline constexpr size_t kMaxXmlDocumentBytes = size_t{240} << 20;

// "<?xml version=\"1.0\" encoding=\"utf-8\" ?>" then the element text, no white space added.
std::string ToXml(const RecordTree& tree);
// A longer answer is handed to tinyxml2 in slices of about this many bytes, cut between the
// root's children, each turned into the tree before the next is parsed: the parser never
// holds the document of a whole listing (about eight times its text).
inline constexpr size_t kXmlSliceBytes = size_t{1} << 20;

// Parses UTF-8 XML into tree (normally empty). S_OK, or E_FAIL with the tree untouched.
HRESULT FromXml(std::string_view text, RecordTree& tree);
// FromXml with slices of sliceBytes (0: one slice per child of the root; SIZE_MAX: the
// document whole). Every slice size reads a document into the same tree.
HRESULT FromXmlInSlices(std::string_view text, RecordTree& tree, size_t sliceBytes);
