// PLACEHOLDER: to be written by the information-windows work.
#include "shell/write_form.h"

void WriteForm::connectInfo() {}
void WriteForm::mnEtc_Ver_Click() {}
void WriteForm::mnEtc_Bbs_Click() {}
