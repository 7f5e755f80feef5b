.class public interface abstract Lcom/example/vorn/IOuter;
.super Ljava/lang/Object;
.implements Landroid/os/IInterface;

.annotation system Ldalvik/annotation/MemberClasses;
    value = {
        Lcom/example/vorn/IOuter$ICallback;
    }
.end annotation
