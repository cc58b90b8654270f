#include "core/delivery/resume_interval.h"

#include "core/settings/settings_file.h"
#include "core/text/trim.h"

namespace delivery {

double ResumeIntervalValue(const QString& text)
{
    return aMain_sMail::ParseLeadingNumber(compose::Trim(text));
}

qint64 ResumeIntervalMs(double value)
{
    return aMain_sMail::ToInt64(value);
}

} // namespace delivery
