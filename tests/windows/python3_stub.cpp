// A stand-in python3.dll for loading the module under Wine, where there is no Windows
// Python: every stable-ABI name is exported (python3_stub.def, made from python3.def)
// and leads here. The module's DllMain and guard run at load; PyInit_torqpanel asks
// Py_IsInitialized, gets 0 and stops before anything else of Python is touched.
extern "C" __declspec(dllexport) long long torq_python_stub_zero() {
    return 0;
}
