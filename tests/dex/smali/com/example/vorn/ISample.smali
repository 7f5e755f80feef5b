.class public interface abstract Lcom/example/vorn/ISample;
.super Ljava/lang/Object;
.implements Landroid/os/IInterface;

.method public abstract add(II)I
.end method

.method public abstract echo(Ljava/lang/String;)Ljava/lang/String;
.end method

.method public abstract isEven(I)Z
.end method

.method public abstract half(I)F
.end method

.method public abstract setLabel(Ljava/lang/String;)V
.end method

.method public abstract getLabel()Ljava/lang/String;
.end method

.method public abstract square(I)J
.end method

.method public abstract self()Landroid/os/IBinder;
.end method

.method public abstract repeat(Ljava/lang/String;IZ)Ljava/lang/String;
.end method

.method public abstract divide(II)I
.end method

.method public abstract fail(I)V
.end method

.method public abstract callCount()I
.end method

.method public abstract addLong(JJ)J
.end method

.method public abstract scale(DF)D
.end method

.method public abstract nextByte(B)B
.end method

.method public abstract upper(C)C
.end method

.method public abstract find(Ljava/lang/String;)Landroid/os/IBinder;
.end method

.method public abstract openNull()Landroid/os/ParcelFileDescriptor;
.end method

.method public abstract poke(I)V
.end method

.method public abstract inspect()Ljava/lang/String;
.end method

.method public abstract keep(Landroid/os/Bundle;)V
.end method
