#include "vault/CryptText.h"

void cryptInPlace(char* data, qsizetype size) {
    for (qsizetype i = 0; i < size; ++i)
        data[i] = static_cast<char>(static_cast<unsigned char>(data[i]) ^ 0x80u);
}

QByteArray CryptText(QByteArray& text) {
    cryptInPlace(text.data(), text.size());
    return text;
}
