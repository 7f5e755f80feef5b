package com.example.numbered;

interface INumbered {
    void first() = 1;
    void second() = 2;
}
