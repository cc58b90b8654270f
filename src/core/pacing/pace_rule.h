#pragma once

#include <QString>

// One row of the per-domain pacing rules, apart from the pacer so that the settings record can
// hold rules without depending on it.
namespace pacing {

// pattern: a domain ("docomo.ne.jp", matching that domain only), "*." and a domain
// ("*.ne.jp", matching every domain below ne.jp but not ne.jp itself) or "*" (every domain).
// A Japanese domain may be written either way ("例え.jp" or "xn--r8jz45g.jp"); case does not
// matter. 0 in gapSeconds or perHour means no limit of that kind.
struct PaceRule
{
    QString pattern;
    int gapSeconds = 0;
    int perHour = 0;
    bool operator==(const PaceRule&) const = default;
};

} // namespace pacing
