.class public abstract static Lcom/example/vorn/IOuter$ICallback$Stub;
.super Landroid/os/Binder;
.implements Lcom/example/vorn/IOuter$ICallback;

.annotation system Ldalvik/annotation/EnclosingClass;
    value = Lcom/example/vorn/IOuter$ICallback;
.end annotation

.annotation system Ldalvik/annotation/InnerClass;
    accessFlags = 0x409
    name = "Stub"
.end annotation

.field private static final DESCRIPTOR:Ljava/lang/String; = "com.example.vorn.IOuter.ICallback"

.field static final TRANSACTION_done:I = 0x1
.field static final TRANSACTION_label:I = 0x2

# The two methods every versioned interface answers, at the top of the range.
.field static final TRANSACTION_getInterfaceVersion:I = 0xffffff
.field static final TRANSACTION_getInterfaceHash:I = 0xfffffe

# Written by hand: a number with no method behind it.
.field static final TRANSACTION_legacy:I = 0x7

# Named like a number but not an int, so not one.
.field static final TRANSACTION_name:Ljava/lang/String; = "x"

# No value, and last by name, so the values array stops short of it: it reads as 0.
.field static final TRANSACTION_zero:I
