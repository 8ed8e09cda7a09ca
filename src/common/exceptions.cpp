#include "common/exceptions.h"

#include <exception>

#include "common/results.h"
#include "log/log.h"

namespace EXCEPT {

BaseException::BaseException(std::string_view t, std::string_view r, std::string_view d)
    : type(t), raisedIn(r), detail(d), m_what(type + " raised in " + raisedIn) {
    if (!detail.empty()) m_what += ": " + detail;
    if (detail.empty())
        LogWriteFormat(kLogLevelError, "exc_base", __LINE__, "Exception type=%s raised-in %s", type.c_str(),
                       raisedIn.c_str());
    else
        LogWriteFormat(kLogLevelError, "exc_base", __LINE__, "Exception type=%s raised-in %s detail=%s", type.c_str(),
                       raisedIn.c_str(), detail.c_str());
}

ServerError::ServerError(std::string_view r, std::string_view d) : BaseException("ServerError", r, d) {}
RemoteConflict::RemoteConflict(std::string_view r, std::string_view d, HRESULT res, const RecordTree& a)
    : BaseException("RemoteConflict", r, d), result(res), answer(a) {}
UserSessionError::UserSessionError(std::string_view r, std::string_view d, HRESULT res)
    : BaseException("UserSessionError", r, d), result(res) {}
NetworkError::NetworkError(std::string_view r, std::string_view d) : BaseException("NetworkError", r, d) {}
TaskCancel::TaskCancel(std::string_view r, std::string_view d) : BaseException("TaskCancel", r, d) {}
CurlUnknownError::CurlUnknownError(std::string_view r, std::string_view d) : BaseException("CurlUnknownError", r, d) {}
FileReadError::FileReadError(std::string_view r, std::string_view d, HRESULT res)
    : BaseException("FileReadError", r, d), result(res) {}
FileWriteError::FileWriteError(std::string_view r, std::string_view d, HRESULT res)
    : BaseException("FileWriteError", r, d), result(res) {}
FileSysError::FileSysError(std::string_view r, std::string_view d) : BaseException("FileSysError", r, d) {}

}  // namespace EXCEPT

void RaiseForResult(const RecordTree& answer, std::string_view raisedIn) {
    std::string code = answer.GetAttr("result");
    if (code.empty()) code = answer.GetAttr("code");
    const HRESULT value = LookupServerResult(code.c_str());
    switch (value) {
        case S_OK:
            return;
        case E_OV_CLIENT_TOKEN_EXPIRED:
        case E_OV_CLIENT_NO_LOGIN:
        case E_OV_RESET_CLIENT_CACHE:
            throw EXCEPT::UserSessionError(raisedIn, code, value);
        case E_OV_TARGET_EXISTS:
        case E_OV_TARGET_NOT_EXISTS:
        case E_OV_OVER_SPACE:
        case E_OV_FILE_VER_CONFLICT:
        case E_OV_PARENT_NOT_EXIST:
        case E_OV_EMPTY_FILE:
        case E_OV_FOLDER_NON_EMPTY:
        case E_OV_UNSUPPORTED_CHAR_RANGE:
        case E_OV_FNAME_TOO_LONG:
            throw EXCEPT::RemoteConflict(raisedIn, code, value, answer);
        default:
            throw EXCEPT::ServerError(raisedIn, code);
    }
}

HRESULT ResultForException(RecordTree* answer) {
    if (!std::current_exception()) return E_FAIL;  // called outside a handler: nothing to rethrow
    try {
        throw;
    } catch (const EXCEPT::CurlUnknownError&) {
        return E_OV_NETWORK_ERROR;
    } catch (const EXCEPT::NetworkError&) {
        return E_OV_NETWORK_ERROR;
    } catch (const EXCEPT::FileReadError& e) {
        return e.result;
    } catch (const EXCEPT::FileWriteError& e) {
        return e.result;
    } catch (const EXCEPT::FileSysError&) {
        return E_FAIL;
    } catch (const EXCEPT::RemoteConflict& e) {
        if (answer != nullptr) *answer = e.answer;
        return e.result;
    } catch (const EXCEPT::ServerError&) {
        return E_OV_SERVER_ERROR;
    } catch (const EXCEPT::TaskCancel&) {
        return E_OV_CANCELLED;
    } catch (const EXCEPT::UserSessionError& e) {
        return e.result;
    } catch (...) {
        return E_FAIL;
    }
}
