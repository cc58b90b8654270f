// PLACEHOLDER: to be written by the composition work.
#include "shell/write_form.h"

void WriteForm::connectCompose() {}
void WriteForm::cmdCSV_Click() {}
void WriteForm::cmdDoc_Click() {}
void WriteForm::mnDoc_Open_Click() {}
void WriteForm::mnDoc_Make_Click() {}
void WriteForm::AttachCommand_Click() {}
