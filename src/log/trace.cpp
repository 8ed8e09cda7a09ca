#include <cstdio>
#include <string>

#include "log/log.h"
#include "log/log_state.h"

using orvel::logimpl::Ticks;

CTraceStack::CTraceStack(std::string_view detail, std::string_view name, const char* file, int line,
                         const HRESULT* result)
    : m_start(Ticks()), m_name(name), m_result(result), m_file(file), m_line(line) {
    if (!LogLevelEnabled(kLogLevelTrace)) return;
    const std::string d(detail);
    LogWriteFormat(kLogLevelTrace, m_file, m_line, "CTraceStack In, %s : %s", m_name.c_str(), d.c_str());
}

CTraceStack::~CTraceStack() {
    const uint32_t elapsed = Ticks() - m_start;
    if (!m_toLog || !LogLevelEnabled(kLogLevelTrace)) return;
    const unsigned seconds = elapsed / 1000, rest = elapsed % 1000;
    const std::string text = m_result != nullptr
                                 ? LogFormat("CTraceStack Out,%s : hr = %x, UserTime: %u'.%u'", m_name.c_str(),
                                             static_cast<unsigned>(*m_result), seconds, rest)
                                 : LogFormat("CTraceStack Out,%s : UserTime: %u'.%u''", m_name.c_str(), seconds, rest);
    LogWrite(kLogLevelTrace, text, m_file, m_line);
}

namespace orvel::logdetail {

bool CheckFailed(int level, const char* text, const char* file, int line) {
    if (LogLevelEnabled(level)) LogWrite(level, text, file, line);
    return false;
}

bool CheckCom(int level, HRESULT hr, const char* file, int line) {
    if (hr >= 0) return true;
    if (LogLevelEnabled(level))
        LogWrite(level, LogFormat("ERROR_CHECK_COM hr = %x: hr", static_cast<unsigned>(hr)), file, line);
    return false;
}

bool CheckComMsg(int level, HRESULT hr, std::string_view msg, const char* file, int line) {
    if (hr >= 0) return true;
    if (LogLevelEnabled(level)) {
        const std::string m(msg);
        LogWrite(level, LogFormat("ERROR_CHECK_COM: hr = %x MSG: %s", static_cast<unsigned>(hr), m.c_str()), file,
                 line);
    }
    return false;
}

bool CheckBoolMsg(bool ok, const char* condText, std::string_view msg, const char* file, int line) {
    if (ok) return true;
    if (LogLevelEnabled(kLogLevelTrace)) {
        std::string text = "CHECK_BOOL:";
        text += condText;
        text += " MSG: ";
        text += msg;
        LogWrite(kLogLevelTrace, text, file, line);
    }
    return false;
}

bool SecondaryCom(HRESULT hr, const char* file, int line) {
    if (hr >= 0) return true;
    if (LogLevelEnabled(kLogLevelTrace))
        LogWrite(kLogLevelTrace, LogFormat("CHECK_COM hr = %x: hr", static_cast<unsigned>(hr)), file, line);
    return false;
}

}  // namespace orvel::logdetail
