// Window titles as the simulation's windows show them: converted between code page 950 and
// UTF-16 with the C library's iconv, letters folded with its Unicode case table.
#include <iconv.h>
#include <locale.h>
#include <wctype.h>

#include <cerrno>
#include <stdexcept>

#include "platform/sim/sim_platform.h"

namespace platform::sim {

namespace {

// One conversion through iconv. A character the target lacks becomes '?' (as Windows' default
// character) and the conversion goes on after it.
template <typename To, typename From>
To convert(const From& text, const char* to, const char* from, std::size_t unit) {
    iconv_t converter = iconv_open(to, from);
    if (converter == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv lacks code page 950");
    To result;
    char* in = const_cast<char*>(reinterpret_cast<const char*>(text.data()));
    std::size_t inLeft = text.size() * sizeof(typename From::value_type);
    while (inLeft > 0) {
        char buffer[256];
        char* out = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t done = iconv(converter, &in, &inLeft, &out, &outLeft);
        result.append(reinterpret_cast<const typename To::value_type*>(buffer),
                      (sizeof buffer - outLeft) / sizeof(typename To::value_type));
        if (done == static_cast<std::size_t>(-1) && errno != E2BIG) {
            result.push_back(static_cast<typename To::value_type>('?'));
            const std::size_t skipped = inLeft < unit ? inLeft : unit;
            in += skipped;
            inLeft -= skipped;
        }
    }
    iconv_close(converter);
    return result;
}

std::u16string fromCodePage950(const std::string& text) { return convert<std::u16string>(text, "UTF-16LE", "CP950", 1); }

std::string toCodePage950(const std::u16string& text) { return convert<std::string>(text, "CP950", "UTF-16LE", 2); }

}  // namespace

WindowHandle SimPlatform::openWindow(const std::u16string& title) {
    const WindowHandle handle = openWindow(toCodePage950(title));
    windows_[handle].wideTitle = title;
    return handle;
}

WindowHandle SimPlatform::openWindow(const std::u16string& title, const std::u16string& className,
                                     const std::u16string& program) {
    const WindowHandle handle = openWindow(title);
    windows_.at(handle).program = program;
    windows_[handle].className = className;
    return handle;
}

void SimPlatform::retitleWindow(WindowHandle window, const std::u16string& title) {
    windows_.at(window).title = toCodePage950(title);
    windows_.at(window).wideTitle = title;
}

WindowHandle SimPlatform::openWindowBetween(const std::u16string& title, long long fromMs, long long untilMs,
                                            const std::u16string& className) {
    const WindowHandle handle = openWindow(title, className);
    windows_[handle].shownFrom = fromMs;
    windows_[handle].shownUntil = untilMs;
    return handle;
}

std::u16string SimPlatform::foldCp950Title(const char* text) {
    ++cp950TitleFolds;
    return foldTitle(fromCodePage950(text));
}

std::u16string SimPlatform::foldTitle(std::u16string text) {
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    for (char16_t& unit : text) {
        if (unit >= 0xD800 && unit <= 0xDFFF) continue;  // half of a character beyond 0xFFFF
        if (unicode == static_cast<locale_t>(0)) {
            if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - u'a' + u'A');
            continue;
        }
        const wint_t upper = towupper_l(unit, unicode);
        if (upper <= 0xFFFF) unit = static_cast<char16_t>(upper);
    }
    return text;
}

namespace {

class SimWindowFacts final : public WindowFacts {
public:
    SimWindowFacts(SimPlatform& platform, const SimWindow& window) : platform_(platform), window_(window) {}
    std::u16string className() const override {
        ++platform_.classReads;
        return platform_.foldTitle(window_.className);
    }
    std::u16string programPath() const override {
        ++platform_.programReads;
        return platform_.foldTitle(window_.program);
    }

private:
    SimPlatform& platform_;
    const SimWindow& window_;
};

}  // namespace

std::vector<std::u16string> SimPlatform::webBrowserPrograms() {
    ++browserListReads;
    std::vector<std::u16string> folded;
    for (const std::u16string& program : webBrowsers) folded.push_back(foldTitle(program));
    return folded;
}

bool SimPlatform::windowExists(WindowHandle window) {
    const auto found = windows_.find(window);
    return found != windows_.end() && !found->second.destroyed && now() >= found->second.shownFrom &&
           now() < found->second.shownUntil;
}

// The simulation's windows are all top-level.
WindowHandle SimPlatform::windowPassing(const TitleTest& test) {
    ++windowEnumerations;
    for (const auto& [handle, window] : windows_) {
        if (!windowExists(handle)) continue;
        const std::u16string title = window.wideTitle.empty() ? fromCodePage950(window.title) : window.wideTitle;
        if (test.matches(foldTitle(title), SimWindowFacts(*this, window))) return handle;
    }
    return 0;
}

}  // namespace platform::sim
