.class public abstract static Lcom/example/vorn/ISample$Stub;
.super Landroid/os/Binder;
.implements Lcom/example/vorn/ISample;

.annotation system Ldalvik/annotation/EnclosingClass;
    value = Lcom/example/vorn/ISample;
.end annotation

.annotation system Ldalvik/annotation/InnerClass;
    accessFlags = 0x409
    name = "Stub"
.end annotation

.annotation system Ldalvik/annotation/MemberClasses;
    value = {
        Lcom/example/vorn/ISample$Stub$Proxy;
    }
.end annotation

# Out of name order on purpose: the dex stores fields sorted by name, and a field's value
# must be found by that order, not by this one.
.field static final TRANSACTION_inspect:I = 0x14
.field static final TRANSACTION_keep:I = 0x15
.field static final TRANSACTION_add:I = 0x1
.field static final TRANSACTION_poke:I = 0x13
.field static final TRANSACTION_echo:I = 0x2
.field static final TRANSACTION_openNull:I = 0x12
.field static final TRANSACTION_isEven:I = 0x3
.field static final TRANSACTION_find:I = 0x11
.field static final TRANSACTION_half:I = 0x4
.field static final TRANSACTION_upper:I = 0x10
.field static final TRANSACTION_setLabel:I = 0x5
.field static final TRANSACTION_nextByte:I = 0xf
.field static final TRANSACTION_getLabel:I = 0x6
.field static final TRANSACTION_scale:I = 0xe
.field static final TRANSACTION_square:I = 0x7
.field static final TRANSACTION_addLong:I = 0xd
.field static final TRANSACTION_self:I = 0x8
.field static final TRANSACTION_callCount:I = 0xc
.field static final TRANSACTION_repeat:I = 0x9
.field static final TRANSACTION_fail:I = 0xb
.field static final TRANSACTION_divide:I = 0xa
.field private static final DESCRIPTOR:Ljava/lang/String; = "com.example.vorn.ISample"
