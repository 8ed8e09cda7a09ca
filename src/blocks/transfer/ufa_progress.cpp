#include "blocks/transfer/ufa_progress.h"

#include <algorithm>

namespace ufa {

namespace {
// The window of the current rate, and the shortest span worth a figure.
constexpr auto kSpeedWindow = std::chrono::seconds(3);
constexpr auto kMinSpan = std::chrono::milliseconds(200);
constexpr auto kSampleGap = std::chrono::milliseconds(50);
}  // namespace

TransferMeter::TransferMeter(ProgressCallback callback, void* context, bool download, double total)
    : m_callback(callback), m_context(context), m_download(download), m_total(std::max(total, 0.0)) {}

void TransferMeter::SetTotal(double total) { m_total = std::max(total, 0.0); }

void TransferMeter::AddPlain(double plainBytes) { m_base += plainBytes; }

void TransferMeter::StartBlock(double plainSize, double encodedSize) {
    m_blockPlain = plainSize;
    m_blockEncoded = encodedSize;
}

void TransferMeter::FinishBlock() {
    m_base += m_blockPlain;
    m_blockPlain = 0;
    m_blockEncoded = 0;
}

HRESULT TransferMeter::Moved(double moved, double expected) {
    const double encoded = expected > 0 ? expected : m_blockEncoded;
    double share = 0;
    if (encoded > 0) share = std::clamp(moved / encoded, 0.0, 1.0);
    return Call(m_base + m_blockPlain * share);
}

HRESULT TransferMeter::Report() { return Call(m_base); }

void TransferMeter::Finish() {
    m_base = m_total;
    m_blockPlain = 0;
    Call(m_total);
}

double TransferMeter::SpeedAt(Clock::time_point now, double done) {
    // A few samples a second are enough for the rate; the window drops the old ones.
    if (m_samples.empty() || now - m_samples.back().first >= kSampleGap)
        m_samples.emplace_back(now, done);
    else
        m_samples.back().second = done;
    while (m_samples.size() > 2 && now - m_samples[1].first >= kSpeedWindow) m_samples.pop_front();
    const auto& [since, doneThen] = m_samples.front();
    if (done <= 0) return 0;
    if (now - since < kMinSpan) return m_lastSpeed;
    const double seconds = std::chrono::duration<double>(now - since).count();
    m_lastSpeed = (done - doneThen) / seconds;
    return m_lastSpeed;
}

HRESULT TransferMeter::Call(double done) {
    // Never back, never past the whole.
    done = std::clamp(done, m_lastDone, std::max(m_total, m_lastDone));
    m_lastDone = done;
    const double speed = SpeedAt(Clock::now(), done);
    if (m_callback == nullptr) return S_OK;
    return m_download ? m_callback(m_context, m_total, done, 0, 0, speed)
                      : m_callback(m_context, 0, 0, m_total, done, speed);
}

HRESULT TransferMeter::OnBlockProgress(void* meter, double dlTotal, double dlNow, double ulTotal, double ulNow,
                                       double) {
    auto* self = static_cast<TransferMeter*>(meter);
    return self->m_download ? self->Moved(dlNow, dlTotal) : self->Moved(ulNow, ulTotal);
}

HRESULT TransferMeter::OnIdleProgress(void* meter, double, double, double, double, double) {
    return static_cast<TransferMeter*>(meter)->Report();
}

}  // namespace ufa
