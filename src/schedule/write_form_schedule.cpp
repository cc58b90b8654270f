// PLACEHOLDER: to be written by the schedule work.
#include "shell/write_form.h"

void WriteForm::connectSchedule() {}
void WriteForm::mnOption_Timer_Click() {}
void WriteForm::timSend_Timer() {}
