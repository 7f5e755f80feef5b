package broken;
interface IBroken {
    void ok(int a);
    void noName(int);
    String unterminated("quote);
