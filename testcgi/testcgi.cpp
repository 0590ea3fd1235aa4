// Placeholder until the test CGI program lands.
int main() { return 0; }
