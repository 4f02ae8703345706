const char* greeting(void) {
    return "hello from a distributed build";
}
