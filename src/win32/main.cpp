// The process entry of kelvarn.exe.
int main() { return 0; }
