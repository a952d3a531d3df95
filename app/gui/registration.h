// One explicit call that plugs the operator commands and the card dialogs into
// the window: made at start-up and by the test fixtures (a static library
// would drop objects that register themselves).
#pragma once

void RegisterQuillon();
