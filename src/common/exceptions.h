// Exceptions of the block engine and its file-transfer layer: thrown by value, turned back
// into results at the guarded entries (ResultForException). All derive from BaseException,
// a std::exception, so a generic handler can still say what went wrong. Constructing one
// writes "Exception type=%s raised-in %s[ detail=%s]" at level 0.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "common/hresult.h"
#include "common/recordtree.h"

namespace EXCEPT {

struct BaseException : std::exception {
    std::string type, raisedIn, detail;

    // "<type> raised in <raisedIn>[: <detail>]", e.g. "NetworkError raised in CurlWrapper::PostFile: Timeout".
    const char* what() const noexcept override { return m_what.c_str(); }

protected:
    BaseException(std::string_view type, std::string_view raisedIn, std::string_view detail);

private:
    std::string m_what;
};

struct ServerError : BaseException {
    explicit ServerError(std::string_view raisedIn, std::string_view detail = {});
};
struct RemoteConflict : BaseException {
    HRESULT result;
    RecordTree answer;
    RemoteConflict(std::string_view raisedIn, std::string_view detail, HRESULT result, const RecordTree& answer);
};
struct UserSessionError : BaseException {
    HRESULT result;
    UserSessionError(std::string_view raisedIn, std::string_view detail, HRESULT result);
};
struct NetworkError : BaseException {
    explicit NetworkError(std::string_view raisedIn, std::string_view detail = {});
};
struct TaskCancel : BaseException {
    explicit TaskCancel(std::string_view raisedIn, std::string_view detail = {});
};
struct CurlUnknownError : BaseException {
    explicit CurlUnknownError(std::string_view raisedIn, std::string_view detail = {});
};
struct FileReadError : BaseException {
    HRESULT result;
    FileReadError(std::string_view raisedIn, std::string_view detail = {}, HRESULT result = E_FAIL);
};
struct FileWriteError : BaseException {
    HRESULT result;
    FileWriteError(std::string_view raisedIn, std::string_view detail = {}, HRESULT result = E_FAIL);
};
struct FileSysError : BaseException {
    explicit FileSysError(std::string_view raisedIn, std::string_view detail = {});
};

}  // namespace EXCEPT

// Returns for "ok"; otherwise raises UserSessionError, RemoteConflict or ServerError by the answer's
// "result" attribute (or "code" when "result" is empty).
void RaiseForResult(const RecordTree& answer, std::string_view raisedIn);

// Call only inside a catch (...) block: rethrows the exception in flight and maps it to a result.
// A RemoteConflict's answer is copied into *answer when answer is not null.
HRESULT ResultForException(RecordTree* answer);
