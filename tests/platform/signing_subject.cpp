// A small Windows program for the signature tests to sign: it only has to be a program file.
int main() {
  return 0;
}
