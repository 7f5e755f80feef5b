.class public interface abstract Lcom/example/vorn/IOuter$ICallback;
.super Ljava/lang/Object;
.implements Landroid/os/IInterface;

.annotation system Ldalvik/annotation/EnclosingClass;
    value = Lcom/example/vorn/IOuter;
.end annotation

.annotation system Ldalvik/annotation/InnerClass;
    accessFlags = 0x609
    name = "ICallback"
.end annotation

.annotation system Ldalvik/annotation/MemberClasses;
    value = {
        Lcom/example/vorn/IOuter$ICallback$Stub;
    }
.end annotation

.method public abstract done(I)V
.end method

.method public abstract label()Ljava/lang/String;
.end method

.method public abstract getInterfaceVersion()I
.end method

.method public abstract getInterfaceHash()Ljava/lang/String;
.end method
