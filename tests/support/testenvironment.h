#pragma once

// Called first in every test's initTestCase(): keeps QStandardPaths away from the
// real home folder and makes sure the process runs with the test XDG folders.
namespace TestEnvironment {
void init();
}
