#pragma once

#include <string_view>

namespace lento {

// The base of every delegate protocol. Delegates implement only the optional reports they need
// and name them here; a view asks before each report and skips it when the delegate does not
// answer. Selectors are the reports' names, e.g. "playVideo" or "leftHandle:".
class DelegateProtocol {
public:
    virtual ~DelegateProtocol() = default;
    virtual bool respondsToSelector(std::string_view selector) const = 0;
};

// True when `delegate` is set and answers `selector`.
inline bool delegateResponds(const DelegateProtocol* delegate, std::string_view selector) {
    return delegate != nullptr && delegate->respondsToSelector(selector);
}

} // namespace lento
