#include "delivery/resume_interval.h"

#include "compose/trim.h"
#include "shell/settings_file.h"

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
