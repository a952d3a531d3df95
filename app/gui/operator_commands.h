// The operator commands of the main window: authentication (sector key and
// Level 2 AES key), block and value commands with their one recovery, and the
// card upgrade. They read their inputs from the window's boxes when they run,
// work through the current level page and log one entry per outcome.
#pragma once

class CommandHost;

// Registers every operator command with the main window's command routing.
void RegisterOperatorCommands();

// Re-activation and re-authentication with the key on screen (PageOwner::Recover).
int RecoverCard(CommandHost& window, int* errorOut);
// The Level 2 AES authentication with the address and key on screen.
int AesAuthenticateCard(CommandHost& window, int* errorOut);
