// The shape every table-driven service operation shares: fields into a request
// tree, body, header text, URL, then the pipeline.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "remotestorage/remote_storage.h"

inline bool IsStrEmpty(std::string_view s) { return s.empty(); }

// The header text of the calls that always use version "2" without gzip.
std::string PlainHeaders();

// Writes the line for a failed transfer (level 9 for network trouble and
// cancellation, level 5 otherwise).
void LogTransferFailure(HRESULT hr);

enum class Root { Service, Command, Push, Web };
enum class Body { Xml, Form, Get };

struct OpSpec {
    Root root;
    std::string_view path;
    Body body = Body::Xml;
    std::string_view version = "2";
    bool gzip = false;
    int32_t timeoutSec = 60;
    CRemoteStorage::CallFlags flags{true, true, true};
    bool passCallback = true;
    bool appendIsEnt = false;
    // Writes "ERROR_CHECK_COM hr = %x: hr" for a failure; operations with a
    // line of their own turn it off.
    bool logFailure = true;
};

using Field = std::pair<std::string_view, std::string_view>;

// The request root "Orvel" with the fields in order.
RecordTree RequestTree(std::initializer_list<Field> fields);

// The root builder of an operation applied to a path.
std::string BuildUrl(Root root, std::string_view path);

// Runs one request with a ready body (null = GET) through the pipeline.
HRESULT RunRequest(CRemoteStorage& self, const OpSpec& op, const std::string* body, ProgressCallback cb, void* ctx,
                   RecordTree& answer);

// Runs one request whose body is made from the request tree as the operation says.
HRESULT RunOperation(CRemoteStorage& self, const OpSpec& op, const RecordTree& request, ProgressCallback cb, void* ctx,
                     RecordTree& answer);

inline const char* TF(bool b) { return b ? "true" : "false"; }

// Files an item of `infotype` whose "Detail" is "Network" for a network
// failure, else the answer's result code.
void FileFailureItem(std::string_view infotype, HRESULT hr, const RecordTree& answer);
