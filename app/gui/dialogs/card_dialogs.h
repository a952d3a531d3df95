// Registration of the card configuration dialogs with the level pages'
// card-setting commands, by dialog template.
#pragma once

void RegisterCardDialogs();
