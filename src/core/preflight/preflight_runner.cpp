#include "core/preflight/preflight.h"

#include <algorithm>
#include <utility>

namespace preflight {
namespace {

Runner& installed()
{
    static Runner runner;
    return runner;
}

} // namespace

bool AnyFailed(const QList<CheckResult>& results)
{
    return std::any_of(results.cbegin(), results.cend(),
                       [](const CheckResult& r) { return r.verdict == Verdict::Failed; });
}

Runner setRunner(Runner runner)
{
    return std::exchange(installed(), std::move(runner));
}

QList<CheckResult> Check(const Inputs& inputs, std::chrono::milliseconds limit)
{
    if (const Runner& runner = installed())
        return runner(inputs, limit);
    return Run(inputs, limit);
}

} // namespace preflight
