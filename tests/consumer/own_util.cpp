int OwnUtilAnswer() { return 42; }
