// The tools menu command "read all sectors" (32821): every sector of the card at
// the current tab's level, with the key on screen or a key file the operator
// picks, under a modal progress dialog that can be cancelled. Each sector goes to
// the information window as block data text, and the dump can be saved in the
// file format the ostrel command line writes.
#pragma once

class CommandHost;

// Registers the command with the window's command routing.
void RegisterReadAllSectors();
void ReadAllSectorsCommand(CommandHost& window);
