.class Lcom/example/vorn/ISample$Stub$Proxy;
.super Ljava/lang/Object;
.implements Lcom/example/vorn/ISample;

.annotation system Ldalvik/annotation/EnclosingClass;
    value = Lcom/example/vorn/ISample$Stub;
.end annotation

.annotation system Ldalvik/annotation/InnerClass;
    accessFlags = 0xa
    name = "Proxy"
.end annotation

# The bodies only return a zero; what matters are the .param names, which the dex keeps in
# these methods' debug info.

.method public add(II)I
    .locals 1
    .param p1, "a"
    .param p2, "b"
    const/4 v0, 0x0
    return v0
.end method

.method public echo(Ljava/lang/String;)Ljava/lang/String;
    .locals 1
    .param p1, "text"
    const/4 v0, 0x0
    return-object v0
.end method

.method public isEven(I)Z
    .locals 1
    .param p1, "value"
    const/4 v0, 0x0
    return v0
.end method

.method public half(I)F
    .locals 1
    .param p1, "value"
    const/4 v0, 0x0
    return v0
.end method

.method public setLabel(Ljava/lang/String;)V
    .locals 0
    .param p1, "label"
    return-void
.end method

.method public getLabel()Ljava/lang/String;
    .locals 1
    const/4 v0, 0x0
    return-object v0
.end method

.method public square(I)J
    .locals 2
    .param p1, "value"
    const-wide/16 v0, 0x0
    return-wide v0
.end method

.method public self()Landroid/os/IBinder;
    .locals 1
    const/4 v0, 0x0
    return-object v0
.end method

.method public repeat(Ljava/lang/String;IZ)Ljava/lang/String;
    .locals 1
    .param p1, "word"
    .param p2, "count"
    .param p3, "shout"
    const/4 v0, 0x0
    return-object v0
.end method

.method public divide(II)I
    .locals 1
    .param p1, "dividend"
    .param p2, "divisor"
    const/4 v0, 0x0
    return v0
.end method

.method public fail(I)V
    .locals 0
    .param p1, "code"
    return-void
.end method

.method public callCount()I
    .locals 1
    const/4 v0, 0x0
    return v0
.end method

# A long or double takes two registers, so the parameter after it is p3, not p2.
.method public addLong(JJ)J
    .locals 2
    .param p1, "a"
    .param p3, "b"
    const-wide/16 v0, 0x0
    return-wide v0
.end method

.method public scale(DF)D
    .locals 2
    .param p1, "value"
    .param p3, "factor"
    const-wide/16 v0, 0x0
    return-wide v0
.end method

.method public nextByte(B)B
    .locals 1
    .param p1, "value"
    const/4 v0, 0x0
    return v0
.end method

.method public upper(C)C
    .locals 1
    .param p1, "c"
    const/4 v0, 0x0
    return v0
.end method

.method public find(Ljava/lang/String;)Landroid/os/IBinder;
    .locals 1
    .param p1, "name"
    const/4 v0, 0x0
    return-object v0
.end method

.method public openNull()Landroid/os/ParcelFileDescriptor;
    .locals 1
    const/4 v0, 0x0
    return-object v0
.end method

.method public poke(I)V
    .locals 0
    .param p1, "value"
    return-void
.end method

.method public inspect()Ljava/lang/String;
    .locals 1
    const/4 v0, 0x0
    return-object v0
.end method

.method public keep(Landroid/os/Bundle;)V
    .locals 0
    .param p1, "extras"
    return-void
.end method
