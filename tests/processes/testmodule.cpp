// A shared library for the module tests: child processes load copies of it.
extern "C" __attribute__((visibility("default"))) int winorvexTestModule()
{
    return 42;
}
