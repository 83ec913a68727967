// The vendor's own library: the window's title comes from here.
const char* probeGreeting() {
    return "Próbnik dostawcy";
}
